# PTSEG_NO_SKIP=1 turns the skip off: the engine then takes a transition
# at every byte of running text, several times as many as with the skip.
#
#   cmake -DSTEP_BOUND=step_bound -P no_skip_test.cmake
execute_process(COMMAND "${STEP_BOUND}" --plain OUTPUT_VARIABLE on
                OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed)
execute_process(COMMAND "${CMAKE_COMMAND}" -E env PTSEG_NO_SKIP=1 "${STEP_BOUND}" --plain
                OUTPUT_VARIABLE off OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed_off)
if(failed OR failed_off OR NOT on MATCHES "^[0-9]+$" OR NOT off MATCHES "^[0-9]+$")
  message(FATAL_ERROR "step_bound --plain failed: '${on}', '${off}'")
endif()
math(EXPR twice "2 * ${on}")
if(NOT off GREATER twice)
  message(FATAL_ERROR "PTSEG_NO_SKIP=1 took ${off} transitions against ${on} with the skip on")
endif()
message(STATUS "transitions with the skip on: ${on}; off: ${off}")
