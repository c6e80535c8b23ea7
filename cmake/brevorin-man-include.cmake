# Writes a help2man include file: the commands with their own options and the
# options several commands share, each once (the tool lays them out, as it
# knows which command takes what), then the sections --help has no room for.
# Run with -DTOOL=<the built tool> -DOUT=<file>.
execute_process(COMMAND ${CMAKE_COMMAND} -E env BREVORIN_HELP_FOR_MAN=sections ${TOOL} --help
                OUTPUT_VARIABLE _text RESULT_VARIABLE _rc)
if(NOT _rc EQUAL 0 OR NOT _text MATCHES "^\\[COMMANDS\\]")
  message(FATAL_ERROR "${TOOL} gave no man page sections")
endif()
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
  ".PP\n.nf\nbrevorin send --server smtp://mail.example.org:587 --starttls \\e\n"
  "  --smtp-user ann --from 'Ann Example <ann@example.org>' \\e\n"
  "  --to bob@example.org --subject 'Figures' \\e\n"
  "  --attach q3.pdf --attach q3.xlsx --text-file note.txt\n.fi\n.PP\n"
  "List a mailbox over POP3S with the password from ~/.netrc:\n"
  ".PP\n.nf\nbrevorin list --server pop3s://ann@mail.example.org --netrc\n.fi\n.PP\n"
  "Fetch message 3 with its attachments into a directory, as JSON:\n"
  ".PP\n.nf\nbrevorin get 3 --server pop3s://ann@mail.example.org --netrc \\e\n"
  "  --dir ~/mail --json\n.fi\n.PP\n"
  "List the Archive folder of an IMAP mailbox over TLS:\n"
  ".PP\n.nf\nbrevorin list --server imaps://ann@mail.example.org/Archive --netrc\n.fi\n")
string(APPEND _text "[ENVIRONMENT]\n"
  ".TP\n.B BREVORIN_PASSWORD, BREVORIN_TOKEN\n"
  "The password (or, for XOAUTH2, the token) when no --password-file, --token-file or --password-command gives one.\n"
  ".TP\n.B NETRC\nThe netrc file --netrc reads instead of ~/.netrc.\n"
  ".TP\n.B LC_ALL, LC_CTYPE, LANG\nThe locale's character set is the host character set unless --charset names one.\n")
string(APPEND _text "[FILES]\n"
  ".TP\n.B $XDG_CONFIG_HOME/brevorin/config\n"
  "Named accounts (server, user, TLS, CA file, logon, password command, mailbox, character set, "
  "sender address, HELO name) chosen with --account; ~/.config/brevorin/config when "
  "XDG_CONFIG_HOME is not set, %APPDATA%\\ebrevorin\\econfig on Windows. Options on the "
  "command line override it.\n"
  ".TP\n.B ~/.netrc\nMachine, login and password entries read with --netrc, as curl reads them.\n")
string(APPEND _text "[SEE ALSO]\n"
  ".BR curl (1),\n.BR fetchmail (1),\n.BR s\\-nail (1),\n.BR msmtp (1)\n")
file(WRITE ${OUT} "${_text}")
