"""The command line's options, declared once and read two ways.

The commands declare their options through `Table`, which takes the calls
of argparse's parser (`add_argument`, argument groups, mutually exclusive
groups, `set_defaults`) and records them. `Table.argparse()` replays the
record into argparse, which gives the help, the usage errors and every
unusual spelling. `Table.parse()` reads the plain command lines (the
command, then options spelled out in full and their values) without
importing argparse, which with the regular expressions it needs is a third
of the command's start; for anything else it returns None and the caller
asks argparse.
"""

from __future__ import annotations

SUPPRESS = "==SUPPRESS=="  # argparse's own marker: no attribute unless typed
BOOLEAN_OPTIONAL = "boolean-optional"  # argparse.BooleanOptionalAction
_NO_DEFAULT = object()


class Namespace:
    """The parsed command line, as argparse's Namespace holds it."""

    def __init__(self, **values):
        self.__dict__.update(values)

    def __contains__(self, key) -> bool:
        return key in self.__dict__

    def __eq__(self, other) -> bool:
        return vars(self) == vars(other)

    def __repr__(self) -> str:
        return f"Namespace({', '.join(f'{k}={v!r}' for k, v in sorted(vars(self).items()))})"


class _Prog:
    """What a usage error needs of a command's parser when argparse was not asked."""

    def __init__(self, prog: str):
        self.prog = prog


class _Option:
    def __init__(self, flags: tuple, kwargs: dict, exclusive: int | None):
        self.flags, self.kwargs, self.exclusive = flags, kwargs, exclusive
        self.positional = not flags[0].startswith("-")
        first_long = next((f for f in flags if f.startswith("--")), flags[0])
        self.dest = kwargs.get("dest") or (flags[0] if self.positional else first_long.lstrip("-").replace("-", "_"))
        self.action = kwargs.get("action", "store")
        self.nargs = kwargs.get("nargs")
        if self.action == BOOLEAN_OPTIONAL:  # argparse adds the --no- form
            self.flags = flags + tuple("--no-" + f[2:] for f in flags if f.startswith("--"))

    def default(self):
        """The value argparse sets before parsing, or _NO_DEFAULT for none."""
        if "default" in self.kwargs:
            value = self.kwargs["default"]
            return _NO_DEFAULT if value == SUPPRESS else value
        return {"store_true": False, "store_false": True}.get(self.action)

    def takes_value(self) -> bool:
        return self.action == "store"

    def convert(self, text: str):
        """The value of one word, or raises ValueError (argparse then words
        the error)."""
        kind = self.kwargs.get("type")
        value = kind(text) if kind is not None else text
        choices = self.kwargs.get("choices")
        if choices is not None and value not in choices:
            raise ValueError(text)
        return value


class _Group:
    """A command's parser, or a group of it: where options are declared."""

    def __init__(self, table: "Table", command: str | None, exclusive: int | None = None, key: int = 0):
        self._table, self._command, self._exclusive, self._key = table, command, exclusive, key

    def add_argument(self, *flags, **kwargs):
        self._table._record(self._command, ("argument", self._key, flags, kwargs), _Option(flags, kwargs, self._exclusive))

    def add_argument_group(self, title=None, **kwargs):
        return self._table._group(self._command, "group", self._key, title, kwargs)

    def add_mutually_exclusive_group(self, **kwargs):
        return self._table._group(self._command, "exclusive", self._key, None, kwargs)

    def set_defaults(self, **values):
        self._table.defaults[self._command].update(values)


class Table:
    """The top level's settings, its own options, and per command its settings
    and the record of its declarations, in order."""

    def __init__(self, prog: str, parser_class, formatter: str | None = None, **settings):
        """`parser_class` makes argparse's parser class when first asked for."""
        self.prog, self.parser_class, self.formatter, self.settings = prog, parser_class, formatter, settings
        self.commands: dict[str, dict] = {}
        self.records: dict[str | None, list] = {None: []}
        self.options: dict[str | None, list[_Option]] = {None: []}
        self.defaults: dict[str | None, dict] = {None: {}}
        self.subparsers: dict = {}
        self._keys = 0

    def top(self) -> _Group:
        return _Group(self, None)

    def command(self, name: str, **settings) -> _Group:
        self.commands[name] = settings
        self.records[name], self.options[name], self.defaults[name] = [], [], {}
        return _Group(self, name)

    def _record(self, command, record, option):
        self.records[command].append(record)
        self.options[command].append(option)

    def _group(self, command, kind, parent, title, kwargs) -> _Group:
        self._keys += 1
        self.records[command].append((kind, self._keys, parent, title, kwargs))
        return _Group(self, command, self._keys if kind == "exclusive" else None, self._keys)

    # --- argparse --------------------------------------------------------------

    def argparse(self):
        import argparse

        def replay(parser, records):
            holders = {0: parser}
            for record in records:
                if record[0] == "argument":
                    _, key, flags, kwargs = record
                    if kwargs.get("action") == BOOLEAN_OPTIONAL:
                        kwargs = dict(kwargs, action=argparse.BooleanOptionalAction)
                    if kwargs.get("default") == SUPPRESS:  # argparse tells its marker by identity
                        kwargs = dict(kwargs, default=argparse.SUPPRESS)
                    holders[key].add_argument(*flags, **kwargs)
                elif record[0] == "group":
                    _, key, parent, title, kwargs = record
                    holders[key] = holders[parent].add_argument_group(title, **kwargs)
                else:
                    _, key, parent, _, kwargs = record
                    holders[key] = holders[parent].add_mutually_exclusive_group(**kwargs)

        formatter = {"raw": argparse.RawDescriptionHelpFormatter}.get(self.formatter, argparse.HelpFormatter)
        parser_class = self.parser_class()
        parser = parser_class(prog=self.prog, formatter_class=formatter, **self.settings)
        replay(parser, self.records[None])
        sub = parser.add_subparsers(**self.subparsers, parser_class=parser_class)
        for name, settings in self.commands.items():
            p = sub.add_parser(name, formatter_class=formatter, **settings)
            replay(p, self.records[name])
            p.set_defaults(**self.defaults[name], parser=p)
        return parser

    # --- the plain command lines -------------------------------------------------

    def parse(self, words: list[str]) -> Namespace | None:
        """The command line as argparse would read it, or None where it is not
        plain: no command first, an option not spelled out in full, a value
        that starts with '-' or does not convert, a required option missing,
        two options that exclude each other, positionals split by options,
        help asked for."""
        if len(words) == 1 and self._version(words[0]):
            return None
        if not words or words[0] not in self.commands or "-" in words:
            return None
        command, rest = words[0], words[1:]
        options = self.options[command]
        by_flag = {flag: o for o in options if not o.positional for flag in o.flags}
        values = {o.dest: o.default() for o in options if o.default() is not _NO_DEFAULT}
        given, positional_words, block_ended = set(), [], None
        i = 0
        while i < len(rest):
            word = rest[i]
            if not word.startswith("-") or word == "-":
                if block_ended:
                    return None
                positional_words.append(word)
                block_ended = False if block_ended is None else block_ended
                i += 1
                continue
            if positional_words:
                block_ended = True
            flag, eq, inline = word.partition("=")
            option = by_flag.get(flag)
            if option is None or option.action in ("help", "version"):
                return None
            given.add(id(option))
            i += 1
            if not option.takes_value():
                if eq:
                    return None
                values[option.dest] = self._flag_value(option, flag)
                continue
            if eq:
                taken = [inline]
            elif option.nargs == "+":
                taken = []
                while i < len(rest) and not rest[i].startswith("-"):
                    taken.append(rest[i])
                    i += 1
            else:
                taken = rest[i:i + 1]
                i += len(taken)
            if not taken or any(t.startswith("-") for t in taken) or option.nargs not in (None, "+"):
                return None
            try:
                converted = [option.convert(t) for t in taken]
            except Exception:  # argparse words the error
                return None
            values[option.dest] = converted if option.nargs == "+" else converted[0]
        if not self._positionals(command, positional_words, values):
            return None
        if any(o.kwargs.get("required") and id(o) not in given for o in options):
            return None
        exclusive = [o.exclusive for o in options if o.exclusive is not None and id(o) in given]
        if len(exclusive) != len(set(exclusive)):
            return None
        values.update(self.defaults[command])
        values["parser"] = _Prog(f"{self.prog} {command}")
        values[self.subparsers.get("dest", "command")] = command
        return Namespace(**values)

    def _version(self, word: str) -> bool:
        """Prints the version and exits, as argparse does, when `word` is the
        top level's version option."""
        for option in self.options[None]:
            if option.action == "version" and word in option.flags:
                print(option.kwargs["version"].replace("%(prog)s", self.prog))
                raise SystemExit(0)
        return False

    @staticmethod
    def _flag_value(option: _Option, flag: str):
        if option.action == "store_true":
            return True
        if option.action == "store_false":
            return False
        return not flag.startswith("--no-")  # BOOLEAN_OPTIONAL

    def _positionals(self, command: str, words: list[str], values: dict) -> bool:
        """Fills the positionals from `words` in order: each required one takes
        a word, each optional one ('?') the next word if any is left."""
        positionals = [o for o in self.options[command] if o.positional]
        required = sum(1 for o in positionals if o.nargs is None)
        if any(o.nargs not in (None, "?") for o in positionals) or not required <= len(words) <= len(positionals):
            return False
        spare = len(words) - required
        for option in positionals:
            if option.nargs == "?" and spare == 0:
                values.setdefault(option.dest, option.default())
                continue
            spare -= option.nargs == "?"
            try:
                values[option.dest] = option.convert(words.pop(0))
            except Exception:
                return False
        return True
