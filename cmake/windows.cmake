# Windows executables with no C runtime, no C++ runtime and no libgcc: the
# loader enters mainCRTStartup directly and the only imports are the KERNEL32
# functions the code names. Linking without libgcc also proves that no 64-bit
# division helper slipped in. Sized for bytes, not speed: a run is a few
# hundred instructions either way. Hardened as a security scanner such as
# BinSkim expects: ASLR (DYNAMIC_BASE, and on 64 bits HIGH_ENTROPY_VA), NX,
# on 32-bit x86 NO_SEH, since there is no exception handler to register, and
# no section both writable and executable. Each image has a relocation
# directory: the 32-bit one for the absolute addresses it holds, which
# systems that force ASLR require; the x64 one a block with no fixup, since
# its code addresses everything relative to the instruction; the ARM64 one
# for the addresses in its load configuration. ticklow.exe also carries what
# each processor's toolchain can give it: control-flow guard on ARM64 (see
# src/platform/windows.cpp), and on x86 and x64, which GNU ld links, the mark
# of shadow-stack compatibility (scripts/pe-finish).
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

# TICKLOW_IMAGE_SIZE: the most ticklow.exe may take, which the image test
# holds it to.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86")
  set(TICKLOW_WINDOWS_ARCH x86)
  set(TICKLOW_IMAGE_SIZE 2560)
  set(TICKLOW_WINDOWS_TREE win32)
  list(APPEND TICKLOW_COMPILE_FOR_BYTES -mpreferred-stack-boundary=2)
  # 32-bit C names carry a leading underscore.
  list(APPEND TICKLOW_LINK_HARDENED -T ${TICKLOW_WIN32_LAYOUT} LINKER:--entry,_mainCRTStartup
       LINKER:--enable-reloc-section LINKER:--no-seh LINKER:--large-address-aware)
elseif(CMAKE_SYSTEM_PROCESSOR STREQUAL "AMD64")
  set(TICKLOW_WINDOWS_ARCH x64)
  set(TICKLOW_IMAGE_SIZE 2560)
  set(TICKLOW_WINDOWS_TREE win64)
  # GNU ld keeps DYNAMIC_BASE on an image it writes no relocations for only
  # together with HIGH_ENTROPY_VA; win64.image checks for both.
  list(APPEND TICKLOW_LINK_HARDENED -T ${TICKLOW_WIN32_LAYOUT} LINKER:--entry,mainCRTStartup
       LINKER:--disable-reloc-section LINKER:--high-entropy-va)
elseif(CMAKE_SYSTEM_PROCESSOR STREQUAL "ARM64")
  set(TICKLOW_WINDOWS_ARCH arm64)
  # A block more than the others, for what control-flow guard adds.
  set(TICKLOW_IMAGE_SIZE 3072)
  set(TICKLOW_WINDOWS_TREE winarm64)
  # lld sizes the headers for every output section it started, empty ones
  # included, and room for three headers is all 512 bytes give. A program
  # with no writable data of its own folds lld's (empty) .data into .rdata.
  # lld writes no checksum: a step after the link does.
  add_compile_options(-ffreestanding -nostdinc++)
  include_directories(SYSTEM ${TICKLOW_LIBSTDCXX_HEADERS}
                      ${TICKLOW_LIBSTDCXX_HEADERS}/x86_64-w64-mingw32)
  list(APPEND TICKLOW_LINK_HARDENED -fuse-ld=lld LINKER:--entry,mainCRTStartup
       LINKER:--high-entropy-va)
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
# list of the functions a program uses: for ticklow.exe, its four. FINISH:
# what scripts/pe-finish does after the link, besides the checksum, which
# lld leaves out and every program linked by lld gets. OWN_LAYOUT: the
# program lays out its ARM64 data itself.
function(ticklow_crt_free target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "OWN_LAYOUT" "IMPORTS" "FINISH")
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
    if(NOT arg_OWN_LAYOUT)
      target_link_options(${target} PRIVATE LINKER:-Xlink=-merge:.data=.rdata)
    endif()
    ticklow_pe_finish(${target} ${arg_FINISH})
  else()
    target_link_libraries(${target} PRIVATE kernel32)
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${TICKLOW_WIN32_LAYOUT})
    if(arg_FINISH)
      ticklow_pe_finish(${target} ${arg_FINISH})
    endif()
  endif()
endfunction()

# Runs scripts/pe-finish on a target after its link, with the options given,
# and makes the script an input of the link, so that changing it makes the
# image again.
function(ticklow_pe_finish target)
  set(script ${PROJECT_SOURCE_DIR}/scripts/pe-finish)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND python3 ${script} $<TARGET_FILE:${target}> ${ARGN} VERBATIM)
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${script})
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
#   ARM64  first in the data, renamed, since lld would otherwise give it a
#          section, and with it a fourth section header, for which lld's
#          headers lack room.
# scripts/pe-finish points the directory entry at it.
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
set(resource_script "")
if(TICKLOW_WINDOWS_ARCH STREQUAL "arm64")
  # Debian 13 names llvm-windres only in LLVM's own folder and with its version.
  file(GLOB llvm_folders /usr/lib/llvm-*/bin)
  find_program(TICKLOW_WINDRES NAMES llvm-windres PATHS ${llvm_folders} REQUIRED)
  set(compile_resource ${TICKLOW_WINDRES} --target=aarch64-w64-mingw32)
  # The tree, then its data, as lld's writable data.
  set(place_resource COMMAND python3 ${PROJECT_SOURCE_DIR}/scripts/coff-rename ${resource}
      --writable .rsrc$01=.data .rsrc$02=.data)
  set(resource_script ${PROJECT_SOURCE_DIR}/scripts/coff-rename)
elseif(TICKLOW_WINDOWS_ARCH STREQUAL "x64")
  set(place_resource COMMAND ${CMAKE_OBJCOPY} --rename-section
      .rsrc=.rdata$version,contents,alloc,load,readonly,data ${resource})
endif()
add_custom_command(OUTPUT ${resource}
  COMMAND ${compile_resource} -i ${CMAKE_BINARY_DIR}/version.rc -o ${resource}
  ${place_resource}
  DEPENDS ${CMAKE_BINARY_DIR}/version.rc ${resource_script} VERBATIM)

# The shipped executable. The resource is linked first, ahead of the objects
# CMake lists, as lld lays out a section's contents in the order of its inputs.
add_executable(ticklow_win32 ${TICKLOW_ENTRY_SOURCES} src/platform/windows.cpp)
add_custom_target(ticklow_version DEPENDS ${resource})
add_dependencies(ticklow_win32 ticklow_version)
target_link_options(ticklow_win32 PRIVATE ${resource})
set_property(TARGET ticklow_win32 APPEND PROPERTY LINK_DEPENDS ${resource})
target_link_libraries(ticklow_win32 PRIVATE ticklow_core)
ticklow_warnings(ticklow_win32)
target_compile_definitions(ticklow_win32 PRIVATE TICKLOW_KERNEL32)
# After the link: the resource directory entry, then a relocation directory
# where the linker left none or gave it a section of its own (x64, ARM64),
# and on x86 and x64 the shadow-stack mark. Each goes where the section table
# has room: the x86 code section is full, its relocation section is not.
# Shadow stacks hold each return address twice and stop a return to any
# other: this program never rewrites or skips a return address (no longjmp,
# no exceptions, no coroutines), so it runs unchanged under them.
if(TICKLOW_WINDOWS_ARCH STREQUAL "arm64")
  target_compile_definitions(ticklow_win32 PRIVATE TICKLOW_CONTROL_FLOW_GUARD)
  target_compile_options(ticklow_win32 PRIVATE -Xclang -cfguard)
  # Two sections: the code alone, and all the data, writable as x86's import
  # section is, since the loader writes the import addresses, the guard
  # pointers and the cookie in it. Wine writes the cookie whatever the load
  # configuration says. A read-only section besides would cost a block and,
  # with lld's relocation section, a fourth header, for which lld's headers
  # lack room.
  target_link_options(ticklow_win32 PRIVATE LINKER:-Xlink=-guard:cf
                      LINKER:-Xlink=-merge:.rdata=.data LINKER:-Xlink=-merge:.00cfg=.data)
  set(finish OWN_LAYOUT FINISH --resources .data --relocations .data)
elseif(TICKLOW_WINDOWS_ARCH STREQUAL "x64")
  set(finish FINISH --resources .text --relocations .text --cet .text)
else()
  set(finish FINISH --resources .idata --cet .reloc)
endif()
ticklow_crt_free(ticklow_win32 ${finish})
set_target_properties(ticklow_win32 PROPERTIES
  OUTPUT_NAME ticklow
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
