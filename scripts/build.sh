#!/usr/bin/env bash
# Configures (once) and builds both trees: build/win (setup.exe, doubles, Wine unit tests) and
# build/native (portable modules with ASan/UBSan, their tests and the fuzzers). Incremental.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=${JOBS:-$(nproc)}

bash scripts/unrar.sh

# A tree configured before the toolchain took the win32 thread model goes on with the posix
# compilers it found then (CMake does not look again): configure it afresh.
if [ -f build/win/build.ninja ] &&
  ! grep -qs 'g++-win32"' build/win/CMakeFiles/*/CMakeCXXCompiler.cmake; then
  rm -rf build/win/CMakeCache.txt build/win/CMakeFiles build/win/build.ninja
fi
if [ ! -f build/win/build.ninja ]; then
  cmake -S . -B build/win -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" >/dev/null
fi
if [ ! -f build/native/build.ninja ]; then
  CC=clang CXX=clang++ cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build build/win -j "$jobs"
cmake --build build/native -j "$jobs"
