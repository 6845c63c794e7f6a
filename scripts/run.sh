#!/usr/bin/env bash
# The main job: builds setup.exe and runs it in a throwaway Wine prefix from a package folder
# (default: examples/package), silently and with the log on unless other switches are given.
# Prints the full exit code and zsetup.log.
#   scripts/run.sh                      -> setup.exe /SILENTMODE /TEST
#   scripts/run.sh /UNINSTALL /TEST     -> those switches instead
#   PACKAGE=path/to/package scripts/run.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
if [ "$(id -u)" = 0 ]; then bash scripts/bootstrap.sh >/dev/null; fi
bash scripts/build.sh >/dev/null
exec /usr/bin/python3 scripts/run_setup.py "$@"
