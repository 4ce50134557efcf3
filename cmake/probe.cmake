# What this host can run, decided when a tree is configured by starting
# programs rather than guessing: some kernels refuse every 32-bit x86 program,
# Wine's 32-bit loader included (scripts/runs-i386); Wine's 64-bit loader
# needs none, so it is tried by starting a 64-bit Windows program, the
# prefix's own cmd.exe, under scripts/wine64-run. Sets
#   TICKLOW_RUNS_I386      the host starts 32-bit x86 Linux programs
#   TICKLOW_WINE_RUNS      ... and Wine is installed, so 32-bit Windows programs run
#   TICKLOW_NO_WINE        why 32-bit Windows programs cannot run here, if they cannot
#   TICKLOW_WINE64_RUNS    64-bit Windows programs run under Wine
#   TICKLOW_NO_WINE64      why they cannot, if they cannot
#   TICKLOW_WINDOWS_RUNNER one line that says how the Windows executables are run here
function(ticklow_probe_host)
  execute_process(COMMAND ${PROJECT_SOURCE_DIR}/scripts/runs-i386 RESULT_VARIABLE refused)
  find_program(TICKLOW_WINE_PROGRAM wine)
  set(runs_i386 ON)
  set(no_wine "")
  if(refused)
    set(runs_i386 OFF)
    set(no_wine "this host cannot run 32-bit x86 programs")
  elseif(NOT TICKLOW_WINE_PROGRAM)
    set(no_wine "Wine is not installed")
  endif()
  execute_process(COMMAND ${PROJECT_SOURCE_DIR}/scripts/wine64-run cmd /c exit 7
    RESULT_VARIABLE status OUTPUT_QUIET ERROR_QUIET TIMEOUT 300)
  set(no_wine64 "")
  if(NOT status EQUAL 7)
    set(no_wine64 "64-bit Wine does not start a 64-bit Windows program here (${status})")
  endif()
  set(runner "ticklow: ")
  if(no_wine)
    string(APPEND runner "${no_wine}; ")
  else()
    string(APPEND runner "32-bit Windows programs run under Wine; ")
  endif()
  if(no_wine64)
    string(APPEND runner "${no_wine64}; ")
  else()
    string(APPEND runner "64-bit ones under 64-bit Wine; ")
  endif()
  string(APPEND runner "every Windows executable also runs under emulation")
  set(TICKLOW_RUNS_I386 ${runs_i386} PARENT_SCOPE)
  set(TICKLOW_NO_WINE "${no_wine}" PARENT_SCOPE)
  set(TICKLOW_NO_WINE64 "${no_wine64}" PARENT_SCOPE)
  set(TICKLOW_WINDOWS_RUNNER "${runner}" PARENT_SCOPE)
  foreach(bits "" 64)
    if(no_wine${bits})
      set(TICKLOW_WINE${bits}_RUNS OFF PARENT_SCOPE)
    else()
      set(TICKLOW_WINE${bits}_RUNS ON PARENT_SCOPE)
    endif()
  endforeach()
endfunction()
