# cmake [-DFILTER=program] -DGZIP=gzip -DIN=file -DOUT=file.gz -P Compress.cmake
#
# Runs IN through FILTER when one is given (scdoc, for the man pages), then
# compresses it into OUT with gzip -9n: without the file's name and time
# stamp, the same source always gives the same bytes.
if(FILTER)
  execute_process(COMMAND ${FILTER} INPUT_FILE ${IN} OUTPUT_FILE ${OUT}.plain
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    file(REMOVE ${OUT}.plain)
    message(FATAL_ERROR "${FILTER} failed on ${IN}: ${status}")
  endif()
  set(IN ${OUT}.plain)
endif()
execute_process(COMMAND ${GZIP} -9n -c ${IN} OUTPUT_FILE ${OUT}.tmp RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  file(REMOVE ${OUT}.tmp)
  message(FATAL_ERROR "gzip failed on ${IN}: ${status}")
endif()
file(RENAME ${OUT}.tmp ${OUT})
if(FILTER)
  file(REMOVE ${OUT}.plain)
endif()
