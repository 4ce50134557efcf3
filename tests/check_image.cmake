# Checks the shipped Windows executable itself: at most 4,096 bytes, and its
# only imports the four KERNEL32 functions, so no C runtime DLL came along.
#   cmake -DEXE=ticklow.exe -DOBJDUMP=i686-w64-mingw32-objdump -P check_image.cmake

file(SIZE "${EXE}" size)
if(size GREATER 4096)
  message(FATAL_ERROR "${EXE} is ${size} bytes, more than 4096")
endif()

execute_process(COMMAND "${OBJDUMP}" -p "${EXE}" OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${OBJDUMP} -p ${EXE} failed")
endif()

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
