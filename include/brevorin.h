/*
 * brevorin: POP3/IMAP/SMTP mail library with a plain C ABI (IMAP with the
 * option protocol=imap).
 *
 * The host loads the library, attaches through _TCONNECT (operation 1 with
 * its context record), and then calls the nine mail exports below. Every
 * export but brevorin_init and brevorin_cleanup returns a status code:
 * 0 or more is success, the negative BREVORIN_E_* values are failures.
 *
 * Texts handed back through "out" arguments belong to the session: they stay
 * valid until the next call of any export on the same session, or until
 * brevorin_cleanup. A null out-pointer gives BREVORIN_E_INVALID (-10).
 *
 * Threads: different sessions may be used from different threads at the same
 * time; one session by one thread at a time (calls on it must not overlap).
 * Attaching the host (_TCONNECT) is process-wide: before the first session,
 * detaching after the last.
 *
 * Field lists separate their KEY=value items with ESC (0x1B); values never
 * hold an ESC and the list does not end with one.
 *
 * Character sets: texts passed in (subject, body) are taken to be in the host
 * character set (host setting 39). Texts handed back are the message's own
 * bytes in the character set it declares; only ISO-2022-JP text is converted,
 * to EUC or SJIS when that is the host set.
 */
#ifndef BREVORIN_H
#define BREVORIN_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(BREVORIN_BUILDING)
#define BREVORIN_API __declspec(dllexport)
#else
#define BREVORIN_API __declspec(dllimport)
#endif
#else
#define BREVORIN_API __attribute__((visibility("default")))
#endif

/* The exports never throw: C++ callers may rely on it. */
#if defined(__cplusplus)
#define BREVORIN_NOEXCEPT noexcept
#else
#define BREVORIN_NOEXCEPT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Status codes returned by the worker exports. */
enum {
    BREVORIN_OK = 0,
    BREVORIN_E_REFUSED = -2,        /* server refused (authorisation, MAIL, RCPT, DATA, message) */
    BREVORIN_E_LOGGED_ON = -3,      /* already logged on */
    BREVORIN_E_TIMEOUT = -4,        /* receiving timed out; mailbox state torn down */
    BREVORIN_E_NO_TABLE = -5,       /* no memory for the message table */
    BREVORIN_E_TOO_BIG = -6,        /* message larger than the caller's size limit */
    BREVORIN_E_NO_MESSAGE = -7,     /* no such message, deleted, or DELE refused */
    BREVORIN_E_NOT_LOGGED_ON = -8,  /* not logged on */
    BREVORIN_E_NETWORK = -9,        /* connection failed or lost; sockets layer unavailable */
    BREVORIN_E_INVALID = -10,       /* no session, no memory, bad input, failed extraction */
    BREVORIN_E_COMMAND = -11,       /* a mailbox command failed; still logged on */
    BREVORIN_E_NO_RECIPIENT = -12,  /* header list lacks TO= or FROM= */
    BREVORIN_E_ATTACH_OPEN = -13,   /* an attachment file could not be opened */
    BREVORIN_E_ATTACH_ENCODE = -14, /* an attachment could not be encoded */
    BREVORIN_E_STORAGE = -15,       /* SMTP server: insufficient storage (452/552) */
    BREVORIN_E_HOST_LIMIT = -16     /* a result text exceeds the host's parameter size */
};

/* Opaque per-caller session. */
typedef struct MailSession MailSession;

/* Creates a session. Returns the number of sessions in the process (1 for the
 * first) and stores the session through session_out; 0 with nothing stored
 * when memory runs out or session_out is null; a positive Windows Sockets
 * error number (nothing stored) when the sockets layer could not be started.
 * Unlike every other call, failure is 0 or positive, never negative: test the
 * stored session. */
BREVORIN_API int brevorin_init(MailSession **session_out) BREVORIN_NOEXCEPT;

/* Logs off when needed and releases the session. A null session is ignored. */
BREVORIN_API void brevorin_cleanup(MailSession *session) BREVORIN_NOEXCEPT;

/* server: host name or dotted IPv4 address, optionally "+port" (default 110). */
BREVORIN_API int brevorin_logonmail(const char *server, const char *user, const char *password,
                                    MailSession *session) BREVORIN_NOEXCEPT;
BREVORIN_API int brevorin_logoffmail(MailSession *session) BREVORIN_NOEXCEPT;

/* Returns the number of messages listed; the list is a field list of records
 * "NMB=..\eID=..\eFROM=..\eSUBJECT=..\eDATE=..\ePRIORITY=..\eSIZE=..", each
 * starting with its NMB item, for example
 * "NMB=1\eID=00000001\eFROM=a@example.org\eSUBJECT=Hi\eDATE=Mon, 7 Dec 2026
 * 10:00:00 +0000\ePRIORITY=3\eSIZE=812\eNMB=2\eID=...". */
BREVORIN_API int brevorin_listmail(char **list_out, MailSession *session) BREVORIN_NOEXCEPT;

/* Returns the attachment status 0..3 on success. directory: where attachment
 * files are written (null or empty: current directory). max_size: 0 = none.
 * header_out: the record "ID=..\eTO=..\eFROM=..\eSUBJECT=..\eDATE=..\e
 * PRIORITY=..\eCC=..\eREPLY=.." (empty values stay as "KEY=").
 * body_out: the text, with the message's line breaks (CR LF) and ending with
 * the line break of its last line. files_out: the bare names (not paths) of
 * the files written into directory, separated by ESC; empty for none. */
BREVORIN_API int brevorin_getmail(int message, const char *directory, int max_size,
                                  char **header_out, char **body_out, char **files_out,
                                  MailSession *session) BREVORIN_NOEXCEPT;
BREVORIN_API int brevorin_getrawmail(int message, int max_size, char **text_out,
                                     MailSession *session) BREVORIN_NOEXCEPT;

/* server: host, optionally "+port" (default 25). header_list: field list of
 * TO=, FROM=, CC=, BCC=, SUBJECT=, PRIORITY=, REPLY= items separated by ESC,
 * for example "TO=a@example.org,b@example.org\eFROM=me@example.org\e
 * SUBJECT=Hello\ePRIORITY=5" (several addresses in one item are separated by
 * commas; PRIORITY runs from 1, lowest, to 5, highest).
 * attachment_list: file paths separated by ESC (empty for none). */
BREVORIN_API int brevorin_sendmail(const char *server, const char *header_list, const char *text,
                                   const char *attachment_list, int max_size, MailSession *session) BREVORIN_NOEXCEPT;

BREVORIN_API int brevorin_deletemail(int message, MailSession *session) BREVORIN_NOEXCEPT;

/* Sets a session option (see the README's table): 0, or -10 with an E1
 * diagnostics line for a null argument or session, an unknown name or a bad
 * value. Options stay until changed or brevorin_cleanup; a change while
 * logged on applies from the next connection (timeouts at once). With no
 * option set every export behaves as it always has. */
BREVORIN_API int brevorin_setoption(const char *name, const char *value, MailSession *session) BREVORIN_NOEXCEPT;

/* Host-convention entry points. In the 32-bit DLL the arguments and result
 * of _TCONNECT are 32-bit values; in 64-bit builds they are pointer-sized so
 * that the address of a context record fits. */
typedef intptr_t brevorin_word;

BREVORIN_API void TLOADDS(void) BREVORIN_NOEXCEPT;
BREVORIN_API brevorin_word _TCONNECT(brevorin_word operation, brevorin_word a, brevorin_word b) BREVORIN_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* BREVORIN_H */
