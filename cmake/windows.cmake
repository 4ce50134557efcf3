# Windows executables with no C runtime, no C++ runtime and no libgcc: the
# loader enters mainCRTStartup directly and the only imports are the KERNEL32
# functions the code names. Linking without libgcc also proves that no 64-bit
# division helper slipped in. Sized for bytes, not speed: a run is a few
# hundred instructions either way. Hardened as a security review expects:
# ASLR (a dynamic base with a complete relocation table, which systems that
# force ASLR require), NX, and NO_SEH, since there is no exception handler to
# register. Large-address awareness costs nothing; the linker script keeps the
# sections few and none both writable and executable.
set(TICKLOW_WIN32_LAYOUT ${PROJECT_SOURCE_DIR}/cmake/ticklow-win32.ld)
function(ticklow_crt_free target)
  target_compile_options(${target} PRIVATE
    -Os -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -fno-stack-protector
    -fomit-frame-pointer -mpreferred-stack-boundary=2
    -falign-functions=1 -falign-jumps=1 -falign-loops=1 -falign-labels=1
    -ffunction-sections -fdata-sections)
  target_link_options(${target} PRIVATE
    -nostdlib -nostartfiles -s -T ${TICKLOW_WIN32_LAYOUT}
    LINKER:--gc-sections LINKER:--subsystem,console LINKER:--entry,_mainCRTStartup
    LINKER:--dynamicbase LINKER:--enable-reloc-section LINKER:--nxcompat LINKER:--no-seh
    LINKER:--large-address-aware LINKER:--no-insert-timestamp)
  set_target_properties(${target} PROPERTIES LINK_DEPENDS ${TICKLOW_WIN32_LAYOUT})
  target_link_libraries(${target} PRIVATE kernel32)
endfunction()

# The shipped executable.
add_executable(ticklow_win32 ${TICKLOW_ENTRY_SOURCES} src/platform/windows.cpp)
target_link_libraries(ticklow_win32 PRIVATE ticklow_core)
ticklow_warnings(ticklow_win32)
target_compile_definitions(ticklow_win32 PRIVATE TICKLOW_KERNEL32)
ticklow_crt_free(ticklow_win32)
set_target_properties(ticklow_win32 PROPERTIES
  OUTPUT_NAME ticklow
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
