# cmake -DPATCH=cmake/zfp_patch.cmake -DWORK=dir -P zfp_patch_test.cmake
#
# The zfp deposit-loop rewrite: both loops of a source rewritten and nothing
# else touched; a source with one loop, three, or a loop that differs in a
# character refused and left as it was.
set(old "    for (i = 0; x; i++, x >>= 1)\n      data[i] += (UInt)(x & 1u) << k;\n")
set(new "    for (UInt* p = data; x; p++, x >>= 1)\n      *p += (UInt)(x & 1u) << k;\n")
set(head "static uint\nf(uint64 x, uint k, UInt* data)\n{\n  uint i;\n")
set(gap "  }\n  for (k = 0; k < 4; k++) {\n")
string(REPLACE "x >>= 1" "x >>= 2" near "${old}")

# Each case: the source it starts from.
set(cases two one three near)
set(text_two "${head}${old}${gap}${old}}\n")
set(text_one "${head}${old}${gap}}\n")
set(text_three "${head}${old}${gap}${old}${gap}${old}}\n")
set(text_near "${head}${old}${gap}${near}}\n")

file(MAKE_DIRECTORY "${WORK}")
foreach(case IN LISTS cases)
  set(file "${WORK}/${case}.c")
  file(WRITE "${file}" "${text_${case}}")
  execute_process(COMMAND "${CMAKE_COMMAND}" "-DFILE=${file}" -P "${PATCH}"
                  RESULT_VARIABLE status OUTPUT_QUIET ERROR_QUIET)
  file(READ "${file}" after)
  if(case STREQUAL "two")
    if(NOT status EQUAL 0 OR NOT after STREQUAL "${head}${new}${gap}${new}}\n")
      message(FATAL_ERROR "${case}: status ${status}, rewritten to:\n${after}")
    endif()
  elseif(status EQUAL 0 OR NOT after STREQUAL "${text_${case}}")
    message(FATAL_ERROR "${case}: accepted (status ${status}) or changed:\n${after}")
  endif()
endforeach()
