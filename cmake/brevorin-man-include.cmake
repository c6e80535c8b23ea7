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
# The sections --help has no room for. Each exit status is an item of its
# own, where the help's table would run into one paragraph.
string(APPEND _text "[EXIT STATUS]\n")
foreach(row
    "0|success"
    "2|usage error: unknown option, missing or bad value, bad server string, NUL byte in the text, or a password that would go without TLS"
    "3|the server's host name could not be resolved"
    "4|the connection was refused or the host could not be reached"
    "5|the server refused the logon (POP3) or AUTH (SMTP)"
    "6|the server refused a command, sender, recipient or the message"
    "7|the server did not answer in time"
    "8|a local file could not be read or written (attachment, text, password, --dir, or a retrieved attachment that could not be saved)"
    "9|any other network failure (connection lost, unusable greeting)"
    "10|TLS could not be set up (untrusted or misnamed certificate, no TLS on that port, STARTTLS refused)"
    "10+N|any other library status -N (17: no such message)"
    "130|interrupted (Ctrl-C)")
  string(FIND "${row}" "|" _bar)
  string(SUBSTRING "${row}" 0 ${_bar} _code)
  math(EXPR _rest "${_bar} + 1")
  string(SUBSTRING "${row}" ${_rest} -1 _meaning)
  string(APPEND _text ".TP\n.B ${_code}\n${_meaning}\n")
endforeach()
string(APPEND _text "[EXAMPLES]\n"
  "Send a report with two attachments over STARTTLS, logging on as a user of the server:\n"
  ".PP\n.nf\nbrevorin send --server smtp://mail.example.org:587 --starttls --smtp-user ann \\e\n"
  "  --from 'Ann Example <ann@example.org>' --to bob@example.org \\e\n"
  "  --subject 'Figures' --attach q3.pdf --attach q3.xlsx --text-file note.txt\n.fi\n.PP\n"
  "List a mailbox over POP3S with the password from ~/.netrc:\n"
  ".PP\n.nf\nbrevorin list --server pop3s://ann@mail.example.org --netrc\n.fi\n.PP\n"
  "Fetch message 3 with its attachments into a directory, as JSON:\n"
  ".PP\n.nf\nbrevorin get 3 --server pop3s://ann@mail.example.org --netrc --dir ~/mail --json\n.fi\n.PP\n"
  "List the Archive folder of an IMAP mailbox over TLS:\n"
  ".PP\n.nf\nbrevorin list --server imaps://ann@mail.example.org --mailbox Archive --netrc\n.fi\n")
string(APPEND _text "[ENVIRONMENT]\n"
  ".TP\n.B BREVORIN_PASSWORD, BREVORIN_TOKEN\n"
  "The password (or, for XOAUTH2, the token) when no --password-file, --token-file or --password-command gives one.\n"
  ".TP\n.B NETRC\nThe netrc file --netrc reads instead of ~/.netrc.\n"
  ".TP\n.B LC_ALL, LC_CTYPE, LANG\nThe locale's character set is the host character set unless --charset names one.\n")
string(APPEND _text "[FILES]\n"
  ".TP\n.B ~/.netrc\nMachine, login and password entries read with --netrc, as curl reads them.\n")
file(WRITE ${OUT} "${_text}")
