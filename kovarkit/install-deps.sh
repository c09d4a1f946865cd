#!/bin/sh
# The Debian packages of the whole project, kovarkit's among them, are
# installed by one script.
exec "$(dirname "$0")/../tools/install-deps.sh" "$@"
