#!/usr/bin/env bash
# The main job: builds everything and walks the sample product (examples/sample) through install,
# install over itself with a file in use, restart and uninstall in a throwaway Wine prefix.
#   scripts/run.sh                      -> the walk-through
#   scripts/run.sh /UNINSTALL /TEST     -> one run of setup.exe with those switches
#   PACKAGE=path/to/package scripts/run.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
if [ "$(id -u)" = 0 ]; then bash scripts/bootstrap.sh >/dev/null; fi
bash scripts/build.sh >/dev/null
exec /usr/bin/python3 scripts/run_setup.py "$@"
