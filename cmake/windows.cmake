# Windows executables with no C runtime, no C++ runtime and no libgcc: the
# loader enters mainCRTStartup directly and the only imports are the KERNEL32
# functions the code names. Linking without libgcc also proves that no 64-bit
# division helper slipped in. Sized for bytes, not speed: a run is a few
# hundred instructions either way. Hardened as a security review expects:
# ASLR (DYNAMIC_BASE, and on 64 bits HIGH_ENTROPY_VA), NX, and on 32-bit x86
# NO_SEH, since there is no exception handler to register. The 32-bit image
# holds absolute addresses, so it carries a complete relocation table, which
# systems that force ASLR require. The 64-bit images address everything
# relative to the instruction, so they need no fixup: they ship without a
# relocation directory and with "relocations stripped" clear, which is what
# the loader takes as "movable, nothing to fix". A table holding no fixup
# would cost a 512-byte section and tell the loader nothing more.
#
# One processor per tree, from its toolchain file: x86 and AMD64 with
# mingw-w64's GNU ld and our linker script, which keeps the sections few and
# none both writable and executable; ARM64 with clang and lld, which takes no
# linker script.
set(TICKLOW_WIN32_LAYOUT ${PROJECT_SOURCE_DIR}/cmake/ticklow-win32.ld)
set(TICKLOW_COMPILE_FOR_BYTES
    -Os -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -fno-stack-protector
    -fomit-frame-pointer -ffunction-sections -fdata-sections)
set(TICKLOW_LINK_HARDENED
    -nostdlib -nostartfiles -s LINKER:--gc-sections LINKER:--subsystem,console
    LINKER:--dynamicbase LINKER:--nxcompat LINKER:--no-insert-timestamp)

if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86")
  set(TICKLOW_WINDOWS_ARCH x86)
  set(TICKLOW_WINDOWS_TREE win32)
  list(APPEND TICKLOW_COMPILE_FOR_BYTES -mpreferred-stack-boundary=2)
  # 32-bit C names carry a leading underscore.
  list(APPEND TICKLOW_LINK_HARDENED -T ${TICKLOW_WIN32_LAYOUT} LINKER:--entry,_mainCRTStartup
       LINKER:--enable-reloc-section LINKER:--no-seh LINKER:--large-address-aware)
elseif(CMAKE_SYSTEM_PROCESSOR STREQUAL "AMD64")
  set(TICKLOW_WINDOWS_ARCH x64)
  set(TICKLOW_WINDOWS_TREE win64)
  # GNU ld keeps DYNAMIC_BASE on an image it writes no relocations for only
  # together with HIGH_ENTROPY_VA; win64.image checks for both.
  list(APPEND TICKLOW_LINK_HARDENED -T ${TICKLOW_WIN32_LAYOUT} LINKER:--entry,mainCRTStartup
       LINKER:--disable-reloc-section LINKER:--high-entropy-va)
elseif(CMAKE_SYSTEM_PROCESSOR STREQUAL "ARM64")
  set(TICKLOW_WINDOWS_ARCH arm64)
  set(TICKLOW_WINDOWS_TREE winarm64)
  # lld sizes the headers for every output section it started, empty ones
  # included; folding the (empty) writable data into .rdata keeps them to
  # 512 bytes. lld writes no checksum: a step after the link does.
  add_compile_options(-ffreestanding -nostdinc++)
  include_directories(SYSTEM ${TICKLOW_LIBSTDCXX_HEADERS}
                      ${TICKLOW_LIBSTDCXX_HEADERS}/x86_64-w64-mingw32)
  list(APPEND TICKLOW_LINK_HARDENED -fuse-ld=lld LINKER:--entry,mainCRTStartup
       LINKER:--high-entropy-va LINKER:-Xlink=-merge:.data=.rdata)
else()
  message(FATAL_ERROR "ticklow: no Windows build for processor ${CMAKE_SYSTEM_PROCESSOR}")
endif()
if(NOT TICKLOW_WINDOWS_ARCH STREQUAL "arm64")
  # GCC pads code for speed; these bytes count here.
  list(APPEND TICKLOW_COMPILE_FOR_BYTES
       -falign-functions=1 -falign-jumps=1 -falign-loops=1 -falign-labels=1)
endif()

# Debian has a C and C++ runtime for mingw-w64's processors only, and test
# programs need one.
if(TICKLOW_WINDOWS_ARCH STREQUAL "arm64")
  set(TICKLOW_WINDOWS_RUNTIME OFF)
else()
  set(TICKLOW_WINDOWS_RUNTIME ON)
endif()

# The import library: mingw-w64's own where it has one, else one made from a
# list of the functions a program uses: for ticklow.exe, its four.
function(ticklow_crt_free target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "IMPORTS" "")
  if(NOT arg_IMPORTS)
    set(arg_IMPORTS ${PROJECT_SOURCE_DIR}/cmake/kernel32.def)
  endif()
  target_compile_options(${target} PRIVATE ${TICKLOW_COMPILE_FOR_BYTES})
  target_link_options(${target} PRIVATE ${TICKLOW_LINK_HARDENED})
  if(TICKLOW_WINDOWS_ARCH STREQUAL "arm64")
    find_program(TICKLOW_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14 REQUIRED)
    set(library ${CMAKE_CURRENT_BINARY_DIR}/lib${target}_kernel32.a)
    add_custom_command(OUTPUT ${library}
      COMMAND ${TICKLOW_DLLTOOL} -m arm64 -d ${arg_IMPORTS} -l ${library}
      DEPENDS ${arg_IMPORTS})
    add_custom_target(${target}_kernel32 DEPENDS ${library})
    add_dependencies(${target} ${target}_kernel32)
    target_link_libraries(${target} PRIVATE ${library})
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND python3 ${PROJECT_SOURCE_DIR}/scripts/pe-finish $<TARGET_FILE:${target}>)
  else()
    target_link_libraries(${target} PRIVATE kernel32)
    set_target_properties(${target} PROPERTIES LINK_DEPENDS ${TICKLOW_WIN32_LAYOUT})
  endif()
endfunction()

# What Windows shows of ticklow.exe (Explorer's Details, PowerShell's
# VersionInfo, deployment tools): a version resource made from project() and
# the licence's holder, compiled by binutils' windres for mingw-w64's
# processors and by LLVM's for ARM64, neither of which stamps it with a time.
# It takes no 512-byte block of its own where another section has room, and
# no more than one extra in all (see cmake/ticklow-win32.ld):
#   x86    first in the import section, as windres's .rsrc;
#   x64    first in the code and constants, renamed read-only, since the
#          import section lacks room for it by 20 bytes;
#   ARM64  lld keeps .rsrc a section of its own and fills its directory
#          entry; the constants and import tables join the code instead, the
#          import address table read-only, as the loader allows.
# scripts/pe-finish points the directory entry at the first two.
set(TICKLOW_VERSION_COMMAS "")
foreach(part MAJOR MINOR PATCH TWEAK)
  set(number ${PROJECT_VERSION_${part}})
  if(number STREQUAL "")
    set(number 0)
  endif()
  list(APPEND TICKLOW_VERSION_COMMAS ${number})
endforeach()
list(JOIN TICKLOW_VERSION_COMMAS "," TICKLOW_VERSION_COMMAS)
file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE TICKLOW_COPYRIGHT REGEX "^Copyright " LIMIT_COUNT 1)
configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${CMAKE_BINARY_DIR}/version.rc @ONLY)
set(resource ${CMAKE_BINARY_DIR}/version.o)
set(compile_resource ${CMAKE_RC_COMPILER})
set(place_resource "")
set(resource_section "")
if(TICKLOW_WINDOWS_ARCH STREQUAL "arm64")
  find_program(TICKLOW_WINDRES NAMES llvm-windres llvm-windres-14 REQUIRED)
  set(compile_resource ${TICKLOW_WINDRES} --target=aarch64-w64-mingw32)
elseif(TICKLOW_WINDOWS_ARCH STREQUAL "x64")
  set(place_resource COMMAND ${CMAKE_OBJCOPY} --rename-section
      .rsrc=.rdata$version,contents,alloc,load,readonly,data ${resource})
  set(resource_section .text)
else()
  set(resource_section .idata)
endif()
add_custom_command(OUTPUT ${resource}
  COMMAND ${compile_resource} -i ${CMAKE_BINARY_DIR}/version.rc -o ${resource}
  ${place_resource}
  DEPENDS ${CMAKE_BINARY_DIR}/version.rc VERBATIM)

# The shipped executable.
add_executable(ticklow_win32 ${TICKLOW_ENTRY_SOURCES} src/platform/windows.cpp ${resource})
target_link_libraries(ticklow_win32 PRIVATE ticklow_core)
ticklow_warnings(ticklow_win32)
target_compile_definitions(ticklow_win32 PRIVATE TICKLOW_KERNEL32)
ticklow_crt_free(ticklow_win32)
if(resource_section)
  add_custom_command(TARGET ticklow_win32 POST_BUILD
    COMMAND python3 ${PROJECT_SOURCE_DIR}/scripts/pe-finish $<TARGET_FILE:ticklow_win32>
            ${resource_section})
elseif(TICKLOW_WINDOWS_ARCH STREQUAL "arm64")
  target_link_options(ticklow_win32 PRIVATE LINKER:-Xlink=-merge:.rdata=.text)
endif()
set_target_properties(ticklow_win32 PROPERTIES
  OUTPUT_NAME ticklow
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
