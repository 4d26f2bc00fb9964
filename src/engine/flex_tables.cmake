# Reads the flex-generated scanner and writes what the table-driven engine
# needs of it, so that the rule file stays the one source of the rules:
#  - TABLES: the compressed tables (yy_accept ... yy_chk), the class of a
#    NUL byte of the text, the trailing context masks and the number of the
#    running-text condition;
#  - ACTIONS: for each rule, its action kind, the condition it switches to,
#    and what flex gives back of a fixed-length trailing context first: the
#    bytes after a fixed-length head, or else the trail's bytes.
#
#   cmake -DSCANNER=ptseg_rules.cpp -DTABLES=rule_tables.inc
#         -DACTIONS=rule_actions.inc -P flex_tables.cmake
file(READ "${SCANNER}" text)

# --- tables
set(tables "// Generated from the flex scanner; do not edit.\n")
foreach(name acclist accept ec meta base def nxt chk)
  if(NOT text MATCHES "static const [a-zA-Z0-9_]+ yy_${name}\\[([0-9]+)\\] =[^{]*({[^}]*})")
    message(FATAL_ERROR "${SCANNER}: no table yy_${name}")
  endif()
  string(APPEND tables "constexpr int yy_${name}[${CMAKE_MATCH_1}] = ${CMAKE_MATCH_2};\n")
endforeach()
# yy_ec[0] is the end-of-buffer mark's class; a NUL of the text has the
# class that the code stepping over it names.  It is the class of byte 1
# only while no rule tells the two apart.
if(NOT text MATCHES "\\? yy_ec\\[YY_SC_TO_UI\\(\\*yy_cp\\)\\] : ([0-9]+)\\)")
  message(FATAL_ERROR "${SCANNER}: no class for a NUL byte")
endif()
string(APPEND tables "constexpr int kNulClass = ${CMAKE_MATCH_1};\n")
foreach(pair YY_TRAILING_MASK=kTrailingMask YY_TRAILING_HEAD_MASK=kTrailingHeadMask
             TEXT=kTextCondition)
  string(REPLACE "=" ";" pair "${pair}")
  list(GET pair 0 name)
  list(GET pair 1 constant)
  if(NOT text MATCHES "\n#define ${name} ([0-9a-fA-Fx]+)\n")
    message(FATAL_ERROR "${SCANNER}: no ${name}")
  endif()
  string(APPEND tables "constexpr int ${constant} = ${CMAKE_MATCH_1};\n")
endforeach()
file(WRITE "${TABLES}.tmp" "${tables}")
configure_file("${TABLES}.tmp" "${TABLES}" COPYONLY)

# --- actions
string(FIND "${text}" "beginning of action switch" switch_start)
string(FIND "${text}" "case YY_STATE_EOF(INITIAL)" switch_end)
if(switch_start EQUAL -1 OR switch_end EQUAL -1)
  message(FATAL_ERROR "${SCANNER}: no action switch found")
endif()
math(EXPR switch_length "${switch_end} - ${switch_start}")
string(SUBSTRING "${text}" ${switch_start} ${switch_length} switch)
# One list element per rule: split at the case labels (C semicolons would
# split a CMake list, so they are set aside first).
string(REPLACE ";" "<semicolon>" switch "${switch}")
string(REGEX REPLACE "\ncase ([0-9]+):" ";\\1:" switch "${switch}")
list(REMOVE_AT switch 0)

set(kind_echo kEcho)
set(kind_brk kBreak)
set(kind_rescan kRescan)
set(out "// Generated from the flex scanner; do not edit.\n")
set(expected 1)
foreach(body IN LISTS switch)
  if(NOT body MATCHES "^([0-9]+):")
    message(FATAL_ERROR "unexpected action text: ${body}")
  endif()
  set(rule ${CMAKE_MATCH_1})
  if(NOT rule EQUAL expected)
    message(FATAL_ERROR "rule ${rule} out of order")
  endif()
  math(EXPR expected "${expected} + 1")
  # flex keeps a fixed-length head by its length (yy_bp + N), else gives
  # back a fixed-length trail (yy_cp -= N).
  set(head 0)
  set(cut 0)
  if(body MATCHES "yy_cp = yy_bp \\+ ([0-9]+)<semicolon>")
    set(head ${CMAKE_MATCH_1})
  elseif(body MATCHES "yy_cp -= ([0-9]+)<semicolon>")
    set(cut ${CMAKE_MATCH_1})
  endif()
  if(NOT body MATCHES "(echo|brk|rescan)\\(([A-Z0-9]*)\\)<semicolon> }")
    message(FATAL_ERROR "rule ${rule}: action does not end in a helper call")
  endif()
  set(kind ${kind_${CMAKE_MATCH_1}})
  set(next "${CMAKE_MATCH_2}")
  if(next STREQUAL "")
    set(condition "RuleAction::kSameCondition")
  else()
    # Start conditions are numbered by flex; take the number it gave.
    if(NOT text MATCHES "\n#define ${next} ([0-9]+)\n")
      message(FATAL_ERROR "rule ${rule}: unknown condition ${next}")
    endif()
    set(condition "${CMAKE_MATCH_1} /* ${next} */")
  endif()
  string(APPEND out "{RuleAction::${kind}, ${condition}, ${head}, ${cut}},  // rule ${rule}\n")
endforeach()
file(WRITE "${ACTIONS}.tmp" "${out}")
configure_file("${ACTIONS}.tmp" "${ACTIONS}" COPYONLY)
