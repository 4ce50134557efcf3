# Cross-building the 32-bit x86 Windows executable with Debian's mingw-w64.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(TICKLOW_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
