# Checks what `objdump -p` reads of VornUtils.dll: a PE32 i386 image whose
# export directory names the module VornUtils.dll and holds exactly the
# expected undecorated names, importing nothing but system DLLs (a MinGW
# runtime DLL would be missing on the machines the DLL ships to).
#
# cmake -DOBJDUMP=... -DDLL=... -DEXPORTS=a,b,c -P check_dll.cmake
cmake_minimum_required(VERSION 3.20)

# Everything else must come with Windows; compared ignoring case.
set(allowed_imports kernel32.dll user32.dll msvcrt.dll advapi32.dll)

execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE dump RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${DLL} failed: ${status}")
endif()

set(failures "")
macro(fail text)
  string(APPEND failures "  ${text}\n")
endmacro()

# The shipped DLL is PE32 i386; the 64-bit test build is checked for the
# same export and import tables.
if(NOT FORMAT)
  set(FORMAT pei-i386)
endif()
if(NOT dump MATCHES "file format ${FORMAT}\n")
  fail("not a ${FORMAT} file")
endif()
if(FORMAT STREQUAL "pei-i386" AND NOT dump MATCHES "\nMagic[\t ]+010b[\t ]+\\(PE32\\)")
  fail("optional header is not PE32")
endif()

if(dump MATCHES "\nName[\t ]+[0-9a-fA-F]+ ([^\n]*)\n")
  if(NOT CMAKE_MATCH_1 STREQUAL "VornUtils.dll")
    fail("export directory names the module '${CMAKE_MATCH_1}'")
  endif()
else()
  fail("no export directory")
endif()

# The name table runs from its heading to the next blank line.
string(REPLACE "," ";" expected "${EXPORTS}")
set(exported "")
string(FIND "${dump}" "[Ordinal/Name Pointer] Table\n" start)
if(start GREATER -1)
  string(SUBSTRING "${dump}" ${start} -1 table)
  string(FIND "${table}" "\n\n" end)
  string(SUBSTRING "${table}" 0 ${end} table)
  string(REGEX MATCHALL "\\[ *[0-9]+\\] [^\n]+" rows "${table}")
  foreach(row IN LISTS rows)
    string(REGEX REPLACE "^\\[ *[0-9]+\\] " "" name "${row}")
    list(APPEND exported "${name}")
  endforeach()
endif()
list(SORT exported)
list(SORT expected)
if(NOT exported STREQUAL expected)
  fail("exported names are '${exported}', expected '${expected}'")
endif()
# Exports by ordinal only would not show in the name table.
list(LENGTH expected expected_count)
if(dump MATCHES "\n[\t ]*Export Address Table[\t ]+([0-9a-fA-F]+)\n")
  math(EXPR address_count "0x${CMAKE_MATCH_1}")
  if(NOT address_count EQUAL expected_count)
    fail("${address_count} exported addresses for ${expected_count} names")
  endif()
endif()

string(REGEX MATCHALL "DLL Name: [^\n]+" rows "${dump}")
list(TRANSFORM rows REPLACE "^DLL Name: " "" OUTPUT_VARIABLE imports)
if(NOT imports)
  fail("no imports found")
endif()
foreach(import IN LISTS imports)
  string(TOLOWER "${import}" lower)
  if(NOT lower IN_LIST allowed_imports)
    fail("imports ${import}, which is not a system DLL")
  endif()
endforeach()

if(failures)
  message(FATAL_ERROR "${DLL}:\n${failures}")
endif()
message(STATUS "${DLL}: PE32 i386, exports ${exported}, imports ${imports}")
