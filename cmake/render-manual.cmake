# Renders the manual page as plain ASCII text with CR LF line ends.
#   cmake -DGROFF=... -DINPUT=page.1 -DOUTPUT=page.txt -P render-manual.cmake
execute_process(
  COMMAND ${GROFF} -t -man -Tascii -P-c -P-b -P-u -P-o -rLL=78n ${INPUT}
  OUTPUT_VARIABLE text COMMAND_ERROR_IS_FATAL ANY)
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${OUTPUT} "${text}")
