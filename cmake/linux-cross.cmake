# Cross-building the tool and its tests for another Linux processor with
# Debian's cross compilers, static and on the POSIX layer, so that a foreign
# program needs nothing of the host to run. TICKLOW_CROSS_ARCH names the
# processor as the compilers and qemu-user name it: i686 or aarch64.
#   cmake -DTICKLOW_CROSS_ARCH=aarch64 --toolchain cmake/linux-cross.cmake ...
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TICKLOW_CROSS_ARCH)
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${TICKLOW_CROSS_ARCH})

set(triple ${TICKLOW_CROSS_ARCH}-linux-gnu)
set(CMAKE_C_COMPILER ${triple}-gcc)
set(CMAKE_CXX_COMPILER ${triple}-g++)
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# qemu-i386 and qemu-aarch64 run such a static program when called on it,
# with no setting of the host's kernel involved.
string(REPLACE i686 i386 TICKLOW_QEMU qemu-${TICKLOW_CROSS_ARCH})
