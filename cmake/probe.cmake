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
# The loaders a machine must run are named, from the project's list of them
# (cmake/loaders.txt, TICKLOW_LOADERS here), in TICKLOW_REQUIRED_LOADERS in
# the environment, or all of them as "all", as the hosted workflow does.
# There a loader that does not start stops the configure step with the
# probe's reason; elsewhere its cases are skipped, each with that reason.
file(STRINGS ${PROJECT_SOURCE_DIR}/cmake/loaders.txt TICKLOW_LOADERS REGEX "^[^#]")
list(TRANSFORM TICKLOW_LOADERS REPLACE "[ \t].*" "")
separate_arguments(TICKLOW_REQUIRED_LOADERS UNIX_COMMAND "$ENV{TICKLOW_REQUIRED_LOADERS}")
if(TICKLOW_REQUIRED_LOADERS STREQUAL "all")
  set(TICKLOW_REQUIRED_LOADERS ${TICKLOW_LOADERS})
endif()

# Stops the configure step where a loader's name is none of the list's.
function(ticklow_known_loader loader what)
  if(NOT loader IN_LIST TICKLOW_LOADERS)
    list(JOIN TICKLOW_LOADERS " " known)
    message(FATAL_ERROR "ticklow: ${what} names ${loader}; the loaders are ${known}")
  endif()
endfunction()
foreach(loader IN LISTS TICKLOW_REQUIRED_LOADERS)
  ticklow_known_loader(${loader} TICKLOW_REQUIRED_LOADERS)
endforeach()

# The loader of a preset, from the list.
function(ticklow_loader_of preset out)
  file(STRINGS ${PROJECT_SOURCE_DIR}/cmake/loaders.txt rows REGEX "^[^#]*[ \t]${preset}$")
  list(TRANSFORM rows REPLACE "[ \t].*" "")
  set(${out} "${rows}" PARENT_SCOPE)
endfunction()

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
  set(runner "ticklow: ")
  foreach(wine "" 64 ARM64)
    string(TOLOWER "${wine}" script)
    # Each Wine's loader is that of the build its script runs.
    file(STRINGS ${PROJECT_SOURCE_DIR}/cmake/windows-builds.txt build
         REGEX "^[^#].*[ \t]scripts/wine${script}-run$")
    string(REGEX REPLACE "[ \t].*" "" preset "${build}")
    ticklow_loader_of("${preset}" loader${wine})
    ticklow_known_loader("${loader${wine}}" "cmake/loaders.txt, for scripts/wine${script}-run,")
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
