# Makes one installed documentation file at build time:
#   cmake -DACTION=gzip -DIN=FILE -DOUT=FILE.gz -P doc_file.cmake
#       compressed as Debian wants it (gzip -9n: no name, no time stamp);
#   cmake -DACTION=text -DIN=FILE [-DAPPEND=FILE2] -DOUT=FILE.txt -P doc_file.cmake
#       the files one after the other, with Windows line ends;
#   cmake -DACTION=manual -DGROFF=groff -DIN=PAGE.1 -DOUT=FILE.txt -P doc_file.cmake
#       the manual page as plain text (no overstriking), with Windows line ends.
if(ACTION STREQUAL "gzip")
  execute_process(COMMAND gzip -9nc INPUT_FILE ${IN} OUTPUT_FILE ${OUT} RESULT_VARIABLE failed)
elseif(ACTION STREQUAL "text")
  file(READ ${IN} text)
  if(APPEND)
    file(READ ${APPEND} more)
    string(APPEND text "${more}")
  endif()
elseif(ACTION STREQUAL "manual")
  execute_process(COMMAND ${GROFF} -man -Tascii -P-cbou -ww ${IN}
    OUTPUT_VARIABLE text ERROR_VARIABLE warnings RESULT_VARIABLE failed)
  if(warnings)
    message(FATAL_ERROR "${IN}: ${warnings}")
  endif()
else()
  message(FATAL_ERROR "doc_file.cmake: unknown ACTION '${ACTION}'")
endif()
if(failed)
  message(FATAL_ERROR "doc_file.cmake: ${ACTION} of ${IN} failed: ${failed}")
endif()
if(NOT ACTION STREQUAL "gzip")
  string(REPLACE "\r\n" "\n" text "${text}")
  string(REPLACE "\n" "\r\n" text "${text}")
  file(WRITE ${OUT} "${text}")
endif()
