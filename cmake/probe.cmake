# What this host can run, decided once when a tree is configured, by starting
# a 32-bit x86 program (scripts/runs-i386) rather than guessing: some kernels
# refuse every such program, Wine's 32-bit loader included. Sets
#   TICKLOW_RUNS_I386      the host starts 32-bit x86 Linux programs
#   TICKLOW_WINE_RUNS      ... and Wine is installed, so Windows programs run under it
#   TICKLOW_NO_WINE        why Windows programs cannot run here, if they cannot
#   TICKLOW_WINDOWS_RUNNER one line that says how ticklow.exe is run here
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
  if(no_wine)
    set(runner "${no_wine}; ticklow.exe runs under emulation")
    set(runs_wine OFF)
  else()
    set(runner "Windows programs run under Wine, and ticklow.exe under emulation too")
    set(runs_wine ON)
  endif()
  set(TICKLOW_RUNS_I386 ${runs_i386} PARENT_SCOPE)
  set(TICKLOW_WINE_RUNS ${runs_wine} PARENT_SCOPE)
  set(TICKLOW_NO_WINE "${no_wine}" PARENT_SCOPE)
  set(TICKLOW_WINDOWS_RUNNER "ticklow: ${runner}" PARENT_SCOPE)
endfunction()
