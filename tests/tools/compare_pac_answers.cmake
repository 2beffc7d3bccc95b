# Runs `ovproxy pac` on the benchmark PAC and its URLs and compares the
# answers with the recorded ones, line for line. The same record is checked
# on every platform, so the Linux engine and the Windows one answer alike.
#
#   cmake -DPROGRAM=<ovproxy> [-DEMULATOR=<wine>] -DSOURCE_DIR=<repo> -P compare_pac_answers.cmake
execute_process(
  COMMAND ${EMULATOR} ${PROGRAM} pac -p ${SOURCE_DIR}/bench/data/corporate.pac
          -f ${SOURCE_DIR}/bench/data/urls.txt
  OUTPUT_VARIABLE actual
  ERROR_VARIABLE errors
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "ovproxy pac failed (${status}): ${errors}")
endif()
file(READ ${SOURCE_DIR}/tests/tools/data/corporate_pac_answers.txt expected)
string(REPLACE "\r\n" "\n" actual "${actual}")
if(NOT actual STREQUAL expected)
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/corporate_pac_answers.actual.txt "${actual}")
  message(FATAL_ERROR "answers differ from tests/tools/data/corporate_pac_answers.txt; "
                      "this run's answers are in ${CMAKE_CURRENT_BINARY_DIR}/corporate_pac_answers.actual.txt")
endif()
