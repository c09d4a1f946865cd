"""The one exception type the subcommands raise for a user-facing failure."""


class KitError(Exception):
    """A failure to report as one line on standard error (exit status 1).

    The message names the file and what is wrong with it.
    """
