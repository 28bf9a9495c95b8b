"""Errors of the command line itself, kept apart so that every front-end module
can raise them without importing the command line."""



class CliError(Exception):
    """A failure reported as one line, exit status 1: an output that cannot or
    must not be written, an input that makes no sense for the command."""


class UsageError(Exception):
    """A mistake in the command typed, found before any file is read: exit
    status 2, one line."""


class Terminated(KeyboardInterrupt):
    """SIGTERM or SIGHUP: handled as Ctrl-C is (everything rolls back), with
    the exit status of the signal."""

    def __init__(self, signum: int):
        super().__init__(signum)
        self.signum = signum


_patterns = {}


def compiled(text: str):
    """A compiled pattern, compiled on first use: most commands print nothing
    that needs one, and `re` is a tenth of the command's start."""
    if text not in _patterns:
        import re

        _patterns[text] = re.compile(text)
    return _patterns[text]


_CONTROL = r"[\x00-\x1f\x7f-\x9f]"
_UNDECODED = "[\udc80-\udcff]"


def shown(text: str) -> str:
    """A path (or text naming one) as printed and recorded: each byte of a
    file name that is not UTF-8, a surrogate in Python's str, shows as U+FFFD
    as the engine shows it; the path itself stays bytes wherever a file is
    opened. Text that holds such a surrogate cannot be written as UTF-8."""
    return compiled(_UNDECODED).sub("\ufffd", text)


_NAMED = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}


def terminal_text(text: str, keep: str = "") -> str:
    """Text with its control characters (a file name may hold any) written as
    escapes, so that nothing printed can move the cursor, recolour the
    terminal or split a one-line message; the characters in `keep` stay."""
    plain = text
    for kept in keep:
        plain = plain.replace(kept, "")
    if plain.isprintable():  # neither a control character nor a surrogate
        return text
    text = shown(text)
    return compiled(_CONTROL).sub(
        lambda m: m.group() if m.group() in keep else _NAMED.get(m.group(), f"\\x{ord(m.group()):02x}"), text)
