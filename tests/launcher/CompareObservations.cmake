# Runs the launcher observation program (through the cross-compiling emulator when
# there is one) and fails unless it prints exactly the expected observations.
# -D PROGRAM=... -D RECORDER=... -D EXPECTED=... [-D EMULATOR=...]
execute_process(COMMAND ${EMULATOR} ${PROGRAM} ${RECORDER}
  OUTPUT_VARIABLE observed ERROR_VARIABLE errors RESULT_VARIABLE result)
string(REPLACE "\r" "" observed "${observed}")
file(READ ${EXPECTED} expected)
if(NOT result EQUAL 0 OR NOT observed STREQUAL expected)
  message(FATAL_ERROR "launcher observations differ from ${EXPECTED} (exit ${result}):\n"
                      "--- observed\n${observed}${errors}--- expected\n${expected}")
endif()
