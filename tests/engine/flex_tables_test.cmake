# What flex_tables.cmake reads off a scanner that flex generates from
# flex_tables_test.l: the rules' actions, with what each keeps of its
# match, and the class of a NUL byte, which is not byte 1's there.
#
#   cmake -DFLEX=flex -DSCRIPT=flex_tables.cmake -DRULES=flex_tables_test.l
#         -DWORK=folder -P flex_tables_test.cmake
file(MAKE_DIRECTORY "${WORK}")
execute_process(COMMAND "${FLEX}" -o "${WORK}/scanner.cpp" "${RULES}" RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "flex failed on ${RULES}")
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" -DSCANNER=${WORK}/scanner.cpp
                        -DTABLES=${WORK}/tables.inc -DACTIONS=${WORK}/actions.inc -P "${SCRIPT}"
                RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "flex_tables.cmake failed")
endif()

set(want "// Generated from the flex scanner; do not edit.
{RuleAction::kBreak, RuleAction::kSameCondition, 0, 0},  // rule 1
{RuleAction::kEcho, 1 /* TEXT */, 2, 0},  // rule 2
{RuleAction::kBreak, RuleAction::kSameCondition, 0, 1},  // rule 3
{RuleAction::kEcho, RuleAction::kSameCondition, 0, 0},  // rule 4
{RuleAction::kEcho, RuleAction::kSameCondition, 0, 0},  // rule 5
")
file(READ "${WORK}/actions.inc" got)
if(NOT got STREQUAL want)
  message(FATAL_ERROR "actions:\n${got}\nwanted:\n${want}")
endif()

file(READ "${WORK}/tables.inc" tables)
string(REGEX MATCH "\nconstexpr int kNulClass = [^\n]*" got "${tables}")
if(NOT got STREQUAL "\nconstexpr int kNulClass = 2;")
  message(FATAL_ERROR "NUL class: got \"${got}\", wanted 2")
endif()
message(STATUS "actions and NUL class as wanted")
