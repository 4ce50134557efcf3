# What this host can run, decided when a tree is configured by starting
# programs rather than guessing: some kernels refuse every 32-bit x86 program,
# Wine's 32-bit loader included (scripts/runs-i386). 64-bit Wine, and Wine
# for ARM64 run by qemu-user, need none, so each is tried by starting a
# Windows program, the prefix's own cmd.exe, under scripts/wine64-run and
# scripts/winearm64-run. Sets
#   TICKLOW_RUNS_I386       the host starts 32-bit x86 Linux programs
#   TICKLOW_WINE_RUNS       ... and Wine is installed, so 32-bit Windows programs run
#   TICKLOW_NO_WINE         why 32-bit Windows programs cannot run here, if they cannot
#   TICKLOW_WINE64_RUNS     64-bit Windows programs run under Wine
#   TICKLOW_NO_WINE64       why they cannot, if they cannot
#   TICKLOW_WINEARM64_RUNS  ARM64 Windows programs run under Wine for ARM64
#   TICKLOW_NO_WINEARM64    why they cannot, if they cannot
#   TICKLOW_WINDOWS_RUNNER  one line that says how the Windows executables are run here
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
  set(kind64 x64)
  set(kindARM64 ARM64)
  set(description64 "64-bit Wine")
  set(descriptionARM64 "Wine for ARM64 through qemu-user")
  set(runner "ticklow: ")
  if(no_wine)
    string(APPEND runner "${no_wine}; ")
    set(TICKLOW_WINE_RUNS OFF PARENT_SCOPE)
  else()
    string(APPEND runner "32-bit Windows programs run under Wine; ")
    set(TICKLOW_WINE_RUNS ON PARENT_SCOPE)
  endif()
  foreach(wine 64 ARM64)
    string(TOLOWER ${wine} script)
    execute_process(COMMAND ${PROJECT_SOURCE_DIR}/scripts/wine${script}-run cmd /c exit 7
      RESULT_VARIABLE status OUTPUT_QUIET ERROR_QUIET TIMEOUT 300)
    if(status EQUAL 7)
      string(APPEND runner "${kind${wine}} ones under ${description${wine}}; ")
      set(TICKLOW_WINE${wine}_RUNS ON PARENT_SCOPE)
      set(TICKLOW_NO_WINE${wine} "" PARENT_SCOPE)
    else()
      set(why "${description${wine}} does not start a Windows program here (${status})")
      string(APPEND runner "${why}; ")
      set(TICKLOW_WINE${wine}_RUNS OFF PARENT_SCOPE)
      set(TICKLOW_NO_WINE${wine} "${why}" PARENT_SCOPE)
    endif()
  endforeach()
  string(APPEND runner "every Windows executable also runs under emulation")
  set(TICKLOW_RUNS_I386 ${runs_i386} PARENT_SCOPE)
  set(TICKLOW_NO_WINE "${no_wine}" PARENT_SCOPE)
  set(TICKLOW_WINDOWS_RUNNER "${runner}" PARENT_SCOPE)
endfunction()
