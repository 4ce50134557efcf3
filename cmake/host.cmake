# The tool for the machine it is built on. On Linux x86-64 it has no C
# library at all: the kernel enters our own _start, and the platform layer
# makes raw system calls. Elsewhere, under the sanitizers (whose runtimes need
# a C library), or when TICKLOW_HOST_PLATFORM=posix asks for it, the POSIX
# layer runs on the C library.
set(TICKLOW_HOST_PLATFORM "" CACHE STRING
  "Platform layer of the host tool: linux_x86_64 or posix; empty picks one for this machine")
if(NOT TICKLOW_HOST_PLATFORM)
  if(CMAKE_SYSTEM_NAME STREQUAL "Linux" AND CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64)$"
     AND NOT TICKLOW_SANITIZE)
    set(TICKLOW_HOST_PLATFORM linux_x86_64)
  else()
    set(TICKLOW_HOST_PLATFORM posix)
  endif()
endif()
message(STATUS "ticklow: host platform layer ${TICKLOW_HOST_PLATFORM}")

add_executable(ticklow ${TICKLOW_ENTRY_SOURCES} src/platform/descriptor_calls.cpp
  src/platform/${TICKLOW_HOST_PLATFORM}.cpp)
target_link_libraries(ticklow PRIVATE ticklow_core)
ticklow_warnings(ticklow)
set_target_properties(ticklow PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

# Static, no loader, no C or C++ library, no libgcc: the linker fails if
# anything from them is needed. Nothing that would call into them is
# generated: no unwind tables, no stack protector, no loops turned into memset
# or memcpy calls.
function(ticklow_without_libc target)
  target_compile_options(${target} PRIVATE
    -O2 -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -fno-unwind-tables
    -fno-stack-protector -fno-pie -fcf-protection=none -fno-tree-loop-distribute-patterns
    -ffunction-sections -fdata-sections)
  target_link_options(${target} PRIVATE
    -nostdlib -nostartfiles -static -no-pie -s
    LINKER:--gc-sections LINKER:--build-id=none LINKER:-z,noexecstack LINKER:-z,noseparate-code)
endfunction()

if(TICKLOW_HOST_PLATFORM STREQUAL "linux_x86_64")
  ticklow_without_libc(ticklow)
endif()

# What `cmake --install` (and `make install PREFIX=...`) puts in place: the
# tool, its manual page, and the README and licence.
include(GNUInstallDirs)
configure_file(docs/ticklow.1.in ${CMAKE_BINARY_DIR}/ticklow.1 @ONLY)
install(TARGETS ticklow RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_BINARY_DIR}/ticklow.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES README.md LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
