"""Errors of the command line itself, kept apart so that every front-end module
can raise them without importing the command line."""


class CliError(Exception):
    """A failure reported as one line, exit status 1: an output that cannot or
    must not be written, an input that makes no sense for the command."""


class UsageError(Exception):
    """A mistake in the command typed, found before any file is read: exit
    status 2, one line."""
