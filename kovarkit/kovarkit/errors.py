"""The exception of a user-facing failure, and the one line that reports one."""


class KitError(ValueError):
    """A failure to report as one line on standard error (exit status 1).

    The message names the file and what is wrong with it.
    """


def first_line(e):
    """The first line of an exception's message, or its type's name."""
    return str(e).splitlines()[0] if str(e) else e.__class__.__name__
