#!/usr/bin/env bash
# Fetches Debian's unrar-nonfree source into the build tree (never committed) and builds the
# UnRAR library as a static i686 Windows library: build/unrar/libunrar.a and its header dll.hpp.
#
# It goes into setup.exe, so it is built like everything that ships: with the win32 thread model
# (i686-w64-mingw32-g++-win32) and importing only what Windows 98 SE and NT 4.0 both export
# (tests/imports-allowed.txt). The library's isnt.cpp (Windows version through GetVersionExW and
# WMI) is replaced by third_party/unrar-shims/isnt.cpp, third_party/unrar-shims/late_imports.cpp
# resolves the few functions those systems lack at run time, and third_party/unrar-shims/
# wide_9x.cpp gives the library's wide-character file functions an ANSI way on the 9x family, where
# they are stubs. Rebuilt when this script or the shims change.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$root/build/unrar
shims=$root/third_party/unrar-shims
slots=$root/third_party/runtime-shims
cxx=i686-w64-mingw32-g++-win32
stamp=$(cat "$root/scripts/unrar.sh" "$shims"/* "$slots"/import_slot.h | sha256sum | cut -d' ' -f1)
if [ -f "$out/libunrar.a" ] && [ "$(cat "$out/stamp" 2>/dev/null)" = "$stamp" ]; then
  exit 0
fi
mkdir -p "$out/fetch"
cd "$out/fetch"
if ! ls -d unrar-nonfree-*/ >/dev/null 2>&1; then
  apt-get source -qq unrar-nonfree >/dev/null 2>&1 || apt-get source unrar-nonfree
fi
src=$(ls -d "$out"/fetch/unrar-nonfree-*/ | head -n 1)
cd "$src"
# The library objects of the makefile's static-lib target.
objs=$(printf 'zs_print:\n\t@echo $(OBJECTS) $(LIB_OBJ)\n' | make -s -f makefile -f - zs_print)
files=""
for o in $objs; do files="$files ${o%.o}.cpp"; done
rm -rf "$out/obj"
mkdir -p "$out/obj"
build_one() {
  "$cxx" -O2 -w -DRARDLL -DSILENT -DUNICODE -D_UNICODE -I"$shims" -c "$1" -o "$out/obj/${1%.cpp}.o"
}
export -f build_one; export out shims cxx
printf '%s\n' $files | sort -u | xargs -P "$(nproc)" -I{} bash -c 'build_one {}'
for shim in isnt late_imports wide_9x; do
  "$cxx" -std=c++17 -O2 -Wall -Wextra -Werror -DUNICODE -D_UNICODE -I"$slots" \
    -c "$shims/$shim.cpp" -o "$out/obj/$shim.o"
done
rm -f "$out/libunrar.a.tmp"
i686-w64-mingw32-ar rcs "$out/libunrar.a.tmp" "$out"/obj/*.o
cp dll.hpp "$out/dll.hpp"
mv "$out/libunrar.a.tmp" "$out/libunrar.a"
echo "$stamp" >"$out/stamp"
