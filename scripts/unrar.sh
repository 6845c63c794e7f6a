#!/usr/bin/env bash
# Fetches Debian's unrar-nonfree source into the build tree (never committed) and builds the
# UnRAR library as a static i686 Windows library: build/unrar/libunrar.a and its header dll.hpp.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$root/build/unrar
[ -f "$out/libunrar.a" ] && exit 0
mkdir -p "$out/fetch"
cd "$out/fetch"
if ! ls -d unrar-nonfree-*/ >/dev/null 2>&1; then
  apt-get source -qq unrar-nonfree >/dev/null 2>&1 || apt-get source unrar-nonfree
fi
src=$(ls -d "$out"/fetch/unrar-nonfree-*/ | head -n 1)
cd "$src"
# The library objects of the makefile's static-lib target, plus isnt.cpp for Windows.
objs=$(printf 'zs_print:\n\t@echo $(OBJECTS) $(LIB_OBJ)\n' | make -s -f makefile -f - zs_print)
files=""
for o in $objs isnt.o; do files="$files ${o%.o}.cpp"; done
shims=$root/third_party/unrar-shims
mkdir -p "$out/obj"
build_one() {
  i686-w64-mingw32-g++-posix -O2 -w -DRARDLL -DSILENT -DUNICODE -D_UNICODE \
    -I"$shims" -c "$1" -o "$out/obj/${1%.cpp}.o"
}
export -f build_one; export out shims
printf '%s\n' $files | sort -u | xargs -P "$(nproc)" -I{} bash -c 'build_one {}'
i686-w64-mingw32-g++-posix -O2 -c "$shims/bstr_shim.cpp" -o "$out/obj/bstr_shim.o"
i686-w64-mingw32-ar rcs "$out/libunrar.a.tmp" "$out"/obj/*.o
cp dll.hpp "$out/dll.hpp"
mv "$out/libunrar.a.tmp" "$out/libunrar.a"
