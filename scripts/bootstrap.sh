#!/usr/bin/env bash
# Prepares a fresh Debian 12 machine (run as root) for building and testing setup.exe.
# Idempotent: a second run changes nothing and returns quickly.
set -euo pipefail

need_update=0
log() { printf 'bootstrap: %s\n' "$*"; }

# The 32-bit Wine needs the i386 architecture.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  log "adding the i386 architecture"
  dpkg --add-architecture i386
  need_update=1
fi

# rar and the unrar library source live in Debian's non-free component; use the archive the
# machine already points at so mirrors and snapshots stay consistent.
src_file=/etc/apt/sources.list.d/setup-nonfree.sources
uri=""
if [ -f /etc/apt/sources.list.d/debian.sources ]; then
  uri=$(awk '/^URIs:/ && /debian\/?$/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources)
fi
if [ -z "$uri" ] && [ -f /etc/apt/sources.list ]; then
  uri=$(awk '$1=="deb" && $2 ~ /debian\/?$/ {print $2; exit}' /etc/apt/sources.list)
fi
[ -n "$uri" ] || uri=http://deb.debian.org/debian
wanted="Types: deb
URIs: $uri
Suites: bookworm bookworm-updates
Components: non-free
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: $uri
Suites: bookworm bookworm-updates
Components: main non-free
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg"
if [ ! -f "$src_file" ] || [ "$(cat "$src_file")" != "$wanted" ]; then
  log "adding non-free with deb-src from $uri"
  printf '%s\n' "$wanted" >"$src_file"
  need_update=1
fi

# fonts-wine: Wine's own fonts; Debian's Wine comes without them, and without Marlett the title
# bars of the dialogs' pictures show a letter where the close button belongs.
packages=(
  g++-mingw-w64-i686 mingw-w64-i686-dev binutils-mingw-w64-i686
  wine wine32:i386 wine64 xvfb xdotool imagemagick rar dpkg-dev
  cmake ninja-build make g++ clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev python3 python3-pytest python3-pytest-xdist clang-format
  python3-ntlm-auth osslsigncode openssl
  fonts-wine
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  [ "$need_update" = 1 ] || [ ! -f /var/lib/apt/periodic/setup-updated ] && need_update=1
fi
if [ "$need_update" = 1 ]; then
  log "apt-get update"
  apt-get update -qq 2>&1 | grep -v '^W: ' || true
  mkdir -p /var/lib/apt/periodic && touch /var/lib/apt/periodic/setup-updated
fi
if [ ${#missing[@]} -gt 0 ]; then
  log "installing ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
log "ready"
