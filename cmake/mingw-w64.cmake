# Cross-building for Windows with Debian's mingw-w64, for the processor that
# TICKLOW_MINGW_TRIPLE names; included by the toolchain file of each.
set(CMAKE_SYSTEM_NAME Windows)

# The posix thread model: GoogleTest needs std::mutex, which the win32 model
# lacks in this GCC. The CRT-free executable uses no thread support either way.
set(CMAKE_C_COMPILER ${TICKLOW_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TICKLOW_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TICKLOW_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TICKLOW_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
