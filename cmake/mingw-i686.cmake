# Cross toolchain: 32-bit Windows with MinGW-w64, win32 thread model.
#
# The posix thread model links winpthreads, which imports functions the oldest supported Windows
# lack (GetTickCount64, AddVectoredExceptionHandler, TryEnterCriticalSection, ...), so everything
# is compiled with the win32 model by default and setup.exe starts on Windows 98 and NT 4.0. Only
# GoogleTest and the test programs (zs_add_test) switch to the posix model's driver, through
# cmake/posix-threads, because GoogleTest needs std::mutex; see zs_posix_threads in CMakeLists.txt.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-win32)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-win32)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
