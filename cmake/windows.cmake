# The shipped Windows executable: no C runtime, no C++ runtime, no libgcc.
# The loader enters mainCRTStartup directly and the only imports are the four
# KERNEL32 functions the code names. Linking without libgcc also proves that
# no 64-bit division helper slipped in.
add_executable(ticklow_win32 ${TICKLOW_ENTRY_SOURCES} src/platform/windows.cpp)
target_link_libraries(ticklow_win32 PRIVATE ticklow_core)
ticklow_warnings(ticklow_win32)
target_compile_definitions(ticklow_win32 PRIVATE TICKLOW_KERNEL32)
target_compile_options(ticklow_win32 PRIVATE
  -Os -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -fno-stack-protector
  -ffunction-sections -fdata-sections)
target_link_options(ticklow_win32 PRIVATE
  -nostdlib -nostartfiles -s
  LINKER:--gc-sections LINKER:--subsystem,console LINKER:--entry,_mainCRTStartup)
set_target_properties(ticklow_win32 PROPERTIES
  OUTPUT_NAME ticklow
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
target_link_libraries(ticklow_win32 PRIVATE kernel32)
