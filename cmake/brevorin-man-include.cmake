# Writes a help2man include file holding each command's own --help, so that
# brevorin(1) documents the options of every command, not only the global ones.
# Run with -DTOOL=<the built tool> -DOUT=<file>.
set(_text "[COMMANDS]\n")
foreach(cmd stat list get raw delete send)
  execute_process(COMMAND ${TOOL} ${cmd} --help OUTPUT_VARIABLE _help RESULT_VARIABLE _rc)
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "${TOOL} ${cmd} --help failed")
  endif()
  # roff takes a leading dot or quote as a request, and a backslash as an escape.
  string(REPLACE "\\" "\\e" _help "${_help}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" _help "${_help}")
  string(APPEND _text ".SS brevorin ${cmd}\n.nf\n${_help}.fi\n")
endforeach()
file(WRITE ${OUT} "${_text}")
