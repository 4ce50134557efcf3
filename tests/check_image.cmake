# Checks the shipped Windows executable itself, as a security review and a
# user would:
#   - at most 2,048 bytes (the headers and three sections at the 512-byte
#     file alignment), its only imports the four KERNEL32 functions, so no C
#     runtime DLL came along;
#   - a console program, large-address aware, marked for ASLR (DYNAMIC_BASE,
#     with a base-relocation table that is not empty), NX_COMPAT and NO_SEH;
#   - exactly one counter read;
#   - no section both writable and executable;
#   - a PE checksum that matches the file;
#   - and, as an outside opinion, what Debian's pesec says: ASLR yes, DEP/NX
#     yes, SEH no.
#   cmake -DEXE=ticklow.exe -DOBJDUMP=i686-w64-mingw32-objdump -DPESEC=pesec
#         -DREADPE=readpe -P check_image.cmake

function(fail)
  message(FATAL_ERROR "${EXE}: ${ARGN}")
endfunction()

function(dump variable)
  execute_process(COMMAND ${ARGN} OUTPUT_VARIABLE output RESULT_VARIABLE failed)
  if(failed)
    fail("${ARGN} failed")
  endif()
  set(${variable} "${output}" PARENT_SCOPE)
endfunction()

file(SIZE "${EXE}" size)
if(size GREATER 2048)
  fail("${size} bytes, more than 2048")
endif()

dump(headers "${OBJDUMP}" -p "${EXE}")
foreach(required "(Windows CUI)" "large address aware" "DYNAMIC_BASE" "NX_COMPAT" "NO_SEH"
                 "HIGHLOW")
  string(FIND "${headers}" "${required}" found)
  if(found EQUAL -1)
    fail("lacks ${required}")
  endif()
endforeach()
if(headers MATCHES "relocations stripped" OR headers MATCHES "Entry 5 [0-9a-f]+ 00000000 Base Relocation")
  fail("has no base relocations, so it cannot load at another base")
endif()

string(REGEX MATCHALL "DLL Name: [^\n]+" dlls "${headers}")
if(NOT dlls STREQUAL "DLL Name: KERNEL32.dll")
  fail("imports from other than KERNEL32.dll alone: ${dlls}")
endif()
# Import entries look like "<tab>3050<tab>  355  ExitProcess".
string(REGEX MATCHALL "\n\t[0-9a-f]+\t +[0-9]+ +[A-Za-z0-9_]+" entries "${headers}")
set(functions "")
foreach(entry IN LISTS entries)
  string(REGEX REPLACE ".* " "" name "${entry}")
  list(APPEND functions "${name}")
endforeach()
list(SORT functions)
set(expected ExitProcess GetCommandLineA GetStdHandle WriteFile)
if(NOT functions STREQUAL expected)
  fail("imports ${functions}, expected exactly ${expected}")
endif()

# One counter read, so that both halves of the count come from one instant: a
# second read disagrees only when the low half wraps between the two, which
# no run can be relied on to show.
dump(code "${OBJDUMP}" -d "${EXE}")
string(REGEX MATCHALL "\trdtsc" reads "${code}")
list(LENGTH reads count)
if(NOT count EQUAL 1)
  fail("reads the counter ${count} times, expected once")
endif()

# IMAGE_SCN_MEM_EXECUTE and IMAGE_SCN_MEM_WRITE together.
dump(sections "${READPE}" -S "${EXE}")
string(REGEX MATCHALL "Characteristics: +0x[0-9a-f]+" characteristics "${sections}")
foreach(section IN LISTS characteristics)
  string(REGEX REPLACE ".* " "" value "${section}")
  math(EXPR both "${value} & 0xA0000000")
  if(both EQUAL 0xA0000000)
    fail("has a section both writable and executable (${value})")
  endif()
endforeach()

# The PE checksum: the file's 16-bit words summed with the carries folded
# back in, the checksum field itself read as zero, plus the file's length.
file(READ "${EXE}" bytes HEX)
string(REGEX REPLACE ".*CheckSum\t+([0-9a-f]+).*" "0x\\1" stated "${headers}")
string(SUBSTRING "${bytes}" 120 8 lfanew)  # e_lfanew, at 0x3C, little-endian
string(REGEX REPLACE "(..)(..)(..)(..)" "0x\\4\\3\\2\\1" lfanew "${lfanew}")
math(EXPR field "(${lfanew} + 88) * 2")  # CheckSum: 88 bytes into the PE headers
math(EXPR field_high "${field} + 4")
string(LENGTH "${bytes}" digits)
set(sum 0)
math(EXPR last "${digits} - 4")
foreach(at RANGE 0 ${last} 4)
  if(NOT at EQUAL field AND NOT at EQUAL field_high)
    string(SUBSTRING "${bytes}" ${at} 4 word)
    string(REGEX REPLACE "(..)(..)" "0x\\2\\1" word "${word}")
    math(EXPR sum "${sum} + ${word}")
    math(EXPR sum "(${sum} & 0xFFFF) + (${sum} >> 16)")
  endif()
endforeach()
math(EXPR computed "${sum} + ${size}")
math(EXPR stated_value "${stated}")
if(NOT computed EQUAL stated_value)
  math(EXPR computed "${computed}" OUTPUT_FORMAT HEXADECIMAL)
  fail("its PE checksum says ${stated}, the file sums to ${computed}")
endif()

dump(opinion "${PESEC}" "${EXE}")
foreach(verdict "ASLR: +yes" "DEP/NX: +yes" "SEH: +no")
  if(NOT opinion MATCHES "${verdict}")
    fail("pesec does not say ${verdict}:\n${opinion}")
  endif()
endforeach()

message(STATUS "${EXE}: ${size} bytes, checksum ${stated}, imports KERNEL32.dll: ${functions}; "
               "pesec: ASLR yes, DEP/NX yes, SEH no")
