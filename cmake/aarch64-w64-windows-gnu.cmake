# Cross-building the ARM64 Windows executable with clang and lld: GNU ld has
# no ARM64 PE support. Debian ships no C or C++ library for this target, and
# the executable needs none; the few C++ headers the core includes (<cstdint>,
# <array>, <type_traits>, nothing that needs a library) come from mingw-w64's
# x64 libstdc++, the same Windows data model, read freestanding (see
# cmake/windows.cmake).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ARM64)

set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_CXX_COMPILER_TARGET aarch64-w64-windows-gnu)
# Whichever version Debian has: 12 in Debian 12, 14 in Debian 13.
file(GLOB libstdcxx_headers /usr/lib/gcc/x86_64-w64-mingw32/*-win32/include/c++)
list(SORT libstdcxx_headers COMPARE NATURAL)
list(GET libstdcxx_headers -1 TICKLOW_LIBSTDCXX_HEADERS)
# Nothing to run a test program with: no test can link before the import
# library exists, and there is no C runtime to start one.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
# CMake would name the usual Windows import libraries, which do not exist for
# this target; the executable names its one import library itself.
set(CMAKE_CXX_STANDARD_LIBRARIES "" CACHE STRING "Libraries every C++ program links")
