#!/bin/sh
# Installs what the benchmark's peer installers are built with (Debian's makensis and wixl) when
# they are missing. Only the benchmark needs them: the build and the tests do not.
set -e
missing=""
command -v makensis >/dev/null 2>&1 || missing="$missing nsis"
command -v wixl >/dev/null 2>&1 || missing="$missing wixl"
[ -z "$missing" ] && exit 0
if [ "$(id -u)" != 0 ]; then
  echo "bench/bootstrap.sh: run as root to install:$missing" >&2
  exit 1
fi
echo "bench/bootstrap.sh: installing$missing" >&2
apt-get install -y $missing >&2 || { apt-get update >&2 && apt-get install -y $missing >&2; }
