"""The kovarkit command line: one module per subcommand, each with run(args),
imported only when its subcommand runs; every failure becomes one line on
standard error and exit status 1 (128 + the signal's number when SIGINT or
SIGTERM ends it)."""

import importlib
import os
import sys

from ..errors import first_line
from .signals import as_exceptions, interrupted

# Subcommand -> module of this package.
COMMANDS = {"hdr": "hdr", "import": "importer", "export": "export", "plot": "plot",
            "map": "map", "summary": "summary", "seasons": "seasons", "fit": "fit"}


def main(argv=None):
    from .parser import parser
    argv = sys.argv[1:] if argv is None else list(argv)
    args = parser().parse_args(argv)
    args.command_line = ["kovarkit", *argv]
    where = f"kovarkit: {args.command}"
    try:
        with as_exceptions():
            command = importlib.import_module(f".{COMMANDS[args.command]}", __name__)
            return command.run(args)
    except KeyboardInterrupt as e:  # SIGINT or SIGTERM: 128 + its number
        e = interrupted(e)
        print(f"{where}: {e}", file=sys.stderr)
        return e.status
    except ModuleNotFoundError as e:
        print(f"{where}: Python module {e.name} is missing; run kovarkit/install-deps.sh "
              "(and use /usr/bin/python3)", file=sys.stderr)
    except OSError as e:
        name = os.fsdecode(e.filename) if e.filename else "?"
        print(f"{where}: {name}: {e.strerror or e}", file=sys.stderr)
    except (ImportError, ValueError, TypeError) as e:
        print(f"{where}: {e}", file=sys.stderr)
    except Exception as e:  # a fault of kovarkit or a library: still one line
        print(f"{where}: {type(e).__name__}: {first_line(e)}", file=sys.stderr)
    return 1
