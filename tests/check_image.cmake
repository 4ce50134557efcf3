# Checks a shipped Windows executable itself, as a security review and a user
# would, for each processor (ARCH x86, x64 or arm64):
#   - at most MAX_SIZE bytes, and its only imports the four KERNEL32
#     functions, so no C runtime DLL came along;
#   - a console program for that processor (PE32 on x86, PE32+ otherwise),
#     large-address aware, with no time stamp;
#   - a relocation directory, so that no loader can take the image for one
#     that must stay at its preferred base; on x86, whose code holds absolute
#     addresses, one that is not empty;
#   - exactly one counter read (rdtsc, or mrs of CNTVCT_EL0);
#   - a PE checksum that matches the file;
#   - every PE rule of BinSkim that needs no debug symbols, as
#     check_pe_rules.py applies them under Debian's PYTHON: ASLR, NX, no
#     section both writable and executable, the import tables out of
#     executable memory, control-flow guard where the linker's version calls
#     for it, shadow-stack compatibility on x86 and x64, and the rest;
#   - a version resource that says VERSION, DESCRIPTION and the LICENSE's
#     copyright line, as Windows finds it (check_version_resource.py);
#   - and, as an outside opinion, what Debian's pesec says: ASLR yes, DEP/NX
#     yes, and on x86 SEH no.
#   cmake -DEXE=ticklow.exe -DARCH=x86 -DMAX_SIZE=2560 -DOBJDUMP=llvm-objdump
#         -DPESEC=pesec -DREADPE=readpe -DPYTHON=/usr/bin/python3 -DVERSION=1.0
#         -DDESCRIPTION=... -DLICENSE=LICENSE -P check_image.cmake

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

# The number readpe gives for a field, such as "Magic number" or "Checksum".
function(field variable text name)
  if(NOT text MATCHES "\n *${name}: +(0x[0-9a-f]+|[0-9]+)")
    fail("readpe shows no ${name}")
  endif()
  math(EXPR value "${CMAKE_MATCH_1}")
  set(${variable} ${value} PARENT_SCOPE)
endfunction()

function(require_bits value bits what)
  math(EXPR present "${value} & ${bits}")
  if(NOT present EQUAL ${bits})
    fail("lacks ${what}")
  endif()
endfunction()

file(SIZE "${EXE}" size)
if(size GREATER MAX_SIZE)
  fail("${size} bytes, more than ${MAX_SIZE}")
endif()

# Each processor's machine type and optional-header magic.
set(expected_x86 0x14c 0x10b)
set(expected_x64 0x8664 0x20b)
set(expected_arm64 0xaa64 0x20b)
dump(headers "${READPE}" -h coff -h optional -d -i "${EXE}")
field(machine "${headers}" "Machine")
field(magic "${headers}" "Magic number")
list(GET expected_${ARCH} 0 expected_machine)
list(GET expected_${ARCH} 1 expected_magic)
if(NOT machine EQUAL expected_machine OR NOT magic EQUAL expected_magic)
  fail("machine ${machine} and magic ${magic}, expected ${expected_${ARCH}} for ${ARCH}")
endif()
field(stamp "${headers}" "Date/time stamp")
if(NOT stamp EQUAL 0)
  fail("has the time stamp ${stamp}, so no two builds match")
endif()
field(subsystem "${headers}" "Subsystem required")
if(NOT subsystem EQUAL 3)
  fail("is not a console program (subsystem ${subsystem})")
endif()

field(characteristics "${headers}" "Characteristics")
require_bits(${characteristics} 0x20 "large address awareness")

# A block with no fixup, its header and two padding entries, takes 12 bytes.
if(NOT headers MATCHES "IMAGE_DIRECTORY_ENTRY_BASERELOC: +0x[0-9a-f]+ \\(([0-9]+) bytes\\)")
  fail("has no relocation directory")
elseif(ARCH STREQUAL "x86" AND CMAKE_MATCH_1 LESS_EQUAL 12)
  fail("has no base relocation, yet its absolute addresses need them at another base")
endif()

# readpe lists the imports library by library, each function by name.
string(REGEX MATCHALL "\n +Name: +[^\n]+" names "${headers}")
string(REGEX REPLACE "\n +Name: +" "" names "${names}")
list(POP_FRONT names dll_name)
list(SORT names)
set(expected ExitProcess GetCommandLineA GetStdHandle WriteFile)
if(NOT dll_name STREQUAL "KERNEL32.dll" OR NOT names STREQUAL expected)
  fail("imports ${dll_name}: ${names}, expected exactly KERNEL32.dll: ${expected}")
endif()

# One counter read, so that both halves of the count come from one instant: a
# second read disagrees only when the low half wraps between the two, which
# no run can be relied on to show.
dump(code "${OBJDUMP}" -d "${EXE}")
if(ARCH STREQUAL "arm64")
  string(REGEX MATCHALL "\tmrs\t[a-z0-9]+, CNTVCT_EL0" reads "${code}")
else()
  string(REGEX MATCHALL "\trdtsc" reads "${code}")
endif()
list(LENGTH reads count)
if(NOT count EQUAL 1)
  fail("reads the counter ${count} times, expected once")
endif()

# The PE checksum: the file's 16-bit words summed with the carries folded
# back in, the checksum field itself read as zero, plus the file's length.
field(stated "${headers}" "Checksum")
file(READ "${EXE}" bytes HEX)
string(SUBSTRING "${bytes}" 120 8 lfanew)  # e_lfanew, at 0x3C, little-endian
string(REGEX REPLACE "(..)(..)(..)(..)" "0x\\4\\3\\2\\1" lfanew "${lfanew}")
math(EXPR at_field "(${lfanew} + 88) * 2")  # CheckSum: 88 bytes into the PE headers
math(EXPR at_field_high "${at_field} + 4")
string(LENGTH "${bytes}" digits)
set(sum 0)
math(EXPR last "${digits} - 4")
foreach(at RANGE 0 ${last} 4)
  if(NOT at EQUAL at_field AND NOT at EQUAL at_field_high)
    string(SUBSTRING "${bytes}" ${at} 4 word)
    string(REGEX REPLACE "(..)(..)" "0x\\2\\1" word "${word}")
    math(EXPR sum "${sum} + ${word}")
    math(EXPR sum "(${sum} & 0xFFFF) + (${sum} >> 16)")
  endif()
endforeach()
math(EXPR computed "${sum} + ${size}")
if(NOT computed EQUAL stated)
  math(EXPR computed "${computed}" OUTPUT_FORMAT HEXADECIMAL)
  math(EXPR stated "${stated}" OUTPUT_FORMAT HEXADECIMAL)
  fail("its PE checksum says ${stated}, the file sums to ${computed}")
endif()

dump(rules "${PYTHON}" "${CMAKE_CURRENT_LIST_DIR}/check_pe_rules.py" "${EXE}")
message(STATUS "${EXE}: BinSkim's PE rules:\n${rules}")
dump(resource "${PYTHON}" "${CMAKE_CURRENT_LIST_DIR}/check_version_resource.py" "${EXE}"
     "${VERSION}" "${DESCRIPTION}" "${LICENSE}")

dump(opinion "${PESEC}" "${EXE}")
set(verdicts "ASLR: +yes" "DEP/NX: +yes")
if(ARCH STREQUAL "x86")
  list(APPEND verdicts "SEH: +no")
endif()
foreach(verdict IN LISTS verdicts)
  if(NOT opinion MATCHES "${verdict}")
    fail("pesec does not say ${verdict}:\n${opinion}")
  endif()
endforeach()

math(EXPR stated "${stated}" OUTPUT_FORMAT HEXADECIMAL)
string(REPLACE " +" " " verdicts "${verdicts}")
message(STATUS "${EXE}: ${ARCH}, ${size} bytes, checksum ${stated}, imports KERNEL32.dll: "
               "${names}; one counter read; pesec: ${verdicts}; version ${VERSION}")
