# What this host can run, decided when a tree is configured by starting
# programs rather than guessing: some kernels refuse every 32-bit x86 program,
# Wine's 32-bit loader included (scripts/runs-i386). Elsewhere each Wine is
# tried by starting a Windows program, the prefix's own cmd.exe, under its
# script (scripts/wine-run --probe), which says why where none runs: not
# installed, and why apt could not install it, or not starting, or hanging.
# Sets, for each Wine of scripts/wine-run, wine64-run and winearm64-run,
#   TICKLOW_WINE_RUNS, TICKLOW_WINE64_RUNS, TICKLOW_WINEARM64_RUNS
#                           Windows programs for its processor run under it
#   TICKLOW_NO_WINE, TICKLOW_NO_WINE64, TICKLOW_NO_WINEARM64
#                           where they do not, one line that says why
# and TICKLOW_RUNS_I386 and TICKLOW_WINDOWS_RUNNER (one line that says how
# the Windows executables are run here).
#
# The loaders a machine must run are named, from TICKLOW_LOADERS, in
# TICKLOW_REQUIRED_LOADERS in the environment, as the hosted workflow names
# every one. There a loader that does not start stops the configure step with
# the probe's reason; elsewhere its cases are skipped, each with that reason.
set(TICKLOW_LOADERS wine32 wine64 winearm64 qemu-aarch64 i686)
separate_arguments(TICKLOW_REQUIRED_LOADERS UNIX_COMMAND "$ENV{TICKLOW_REQUIRED_LOADERS}")
foreach(loader IN LISTS TICKLOW_REQUIRED_LOADERS)
  if(NOT loader IN_LIST TICKLOW_LOADERS)
    list(JOIN TICKLOW_LOADERS " " known)
    message(FATAL_ERROR "ticklow: TICKLOW_REQUIRED_LOADERS names ${loader}; the loaders are ${known}")
  endif()
endforeach()

# Stops the configure step where loader is required and does not run.
function(ticklow_loader_fails loader why)
  if(loader IN_LIST TICKLOW_REQUIRED_LOADERS)
    message(FATAL_ERROR "ticklow: ${loader} is a required loader here (TICKLOW_REQUIRED_LOADERS), "
                        "and it does not run: ${why}")
  endif()
endfunction()

function(ticklow_probe_host)
  ticklow_probe_i386()
  set(description "32-bit Wine")
  set(description64 "64-bit Wine")
  set(descriptionARM64 "Wine for ARM64 through qemu-user")
  set(loader wine32)
  set(loader64 wine64)
  set(loaderARM64 winearm64)
  set(runner "ticklow: ")
  foreach(wine "" 64 ARM64)
    string(TOLOWER "${wine}" script)
    if(wine STREQUAL "" AND NOT TICKLOW_RUNS_I386)
      set(status 1)
      set(why "this host cannot run 32-bit x86 programs")
    else()
      execute_process(COMMAND ${PROJECT_SOURCE_DIR}/scripts/wine${script}-run --probe
        RESULT_VARIABLE status OUTPUT_VARIABLE why ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
    endif()
    if(status EQUAL 0)
      string(APPEND runner "${description${wine}} runs; ")
      set(TICKLOW_WINE${wine}_RUNS ON PARENT_SCOPE)
      set(TICKLOW_NO_WINE${wine} "" PARENT_SCOPE)
    else()
      ticklow_loader_fails(${loader${wine}} "${why}")
      set(why "${description${wine}}: ${why}")
      # It ends up in a C string, in CMake lists and in compile definitions:
      # quotation marks become apostrophes, semicolons commas.
      string(REPLACE "\"" "'" why "${why}")
      string(REPLACE "\\" "/" why "${why}")
      string(REPLACE ";" "," why "${why}")
      string(APPEND runner "${why}; ")
      set(TICKLOW_WINE${wine}_RUNS OFF PARENT_SCOPE)
      set(TICKLOW_NO_WINE${wine} "${why}" PARENT_SCOPE)
    endif()
  endforeach()
  string(APPEND runner "every Windows executable also runs under emulation")
  set(TICKLOW_RUNS_I386 ${TICKLOW_RUNS_I386} PARENT_SCOPE)
  set(TICKLOW_WINDOWS_RUNNER "${runner}" PARENT_SCOPE)
endfunction()

# Sets TICKLOW_RUNS_I386: the host starts 32-bit x86 Linux programs.
function(ticklow_probe_i386)
  execute_process(COMMAND ${PROJECT_SOURCE_DIR}/scripts/runs-i386 RESULT_VARIABLE refused)
  if(refused)
    set(TICKLOW_RUNS_I386 OFF PARENT_SCOPE)
  else()
    set(TICKLOW_RUNS_I386 ON PARENT_SCOPE)
  endif()
endfunction()
