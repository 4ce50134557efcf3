# Checks the shipped Windows executable itself: at most 1,536 bytes (the
# headers and two sections at the 512-byte file alignment), its only imports
# the four KERNEL32 functions, so no C runtime DLL came along, and the header
# bits it must keep: a console program, NX-compatible, large-address aware,
# with no relocation section.
#   cmake -DEXE=ticklow.exe -DOBJDUMP=i686-w64-mingw32-objdump -P check_image.cmake

file(SIZE "${EXE}" size)
if(size GREATER 1536)
  message(FATAL_ERROR "${EXE} is ${size} bytes, more than 1536")
endif()

execute_process(COMMAND "${OBJDUMP}" -p "${EXE}" OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${OBJDUMP} -p ${EXE} failed")
endif()

foreach(required "(Windows CUI)" "NX_COMPAT" "large address aware" "relocations stripped"
                 "Entry 5 00000000 00000000 Base Relocation Directory")
  string(FIND "${dump}" "${required}" found)
  if(found EQUAL -1)
    message(FATAL_ERROR "${EXE} lacks the header mark: ${required}")
  endif()
endforeach()

string(REGEX MATCHALL "DLL Name: [^\n]+" dlls "${dump}")
if(NOT dlls STREQUAL "DLL Name: KERNEL32.dll")
  message(FATAL_ERROR "imports from other than KERNEL32.dll alone: ${dlls}")
endif()

# Import entries look like "<tab>3050<tab>  355  ExitProcess".
string(REGEX MATCHALL "\n\t[0-9a-f]+\t +[0-9]+ +[A-Za-z0-9_]+" entries "${dump}")
set(functions "")
foreach(entry IN LISTS entries)
  string(REGEX REPLACE ".* " "" name "${entry}")
  list(APPEND functions "${name}")
endforeach()
list(SORT functions)
set(expected ExitProcess GetCommandLineA GetStdHandle WriteFile)
if(NOT functions STREQUAL expected)
  message(FATAL_ERROR "imports ${functions}, expected exactly ${expected}")
endif()
message(STATUS "${EXE}: ${size} bytes, imports KERNEL32.dll: ${functions}")
