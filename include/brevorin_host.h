/*
 * Host runtime stand-in.
 *
 * The library talks to its host through two runtime services: a setting query
 * (trace level = setting 3, character set name = setting 39) and a message
 * output that receives diagnostics lines. The real host runtime is closed;
 * this stand-in, built into the library, lets any embedding program (tests,
 * the command-line tool, a script through a foreign-function interface) play
 * the host:
 *
 *   brevorin_host_context ctx;
 *   brevorin_host_context_init(&ctx);
 *   brevorin_host_set_int(&ctx, 3, 64);            // diagnostics on
 *   brevorin_host_set_text(&ctx, 39, "LATIN1");    // host character set
 *   brevorin_host_set_message_sink(&ctx, print_line, NULL);
 *   _TCONNECT(1, 0, (brevorin_word)&ctx);          // attach
 *   ... brevorin_init / mail calls ...
 *   _TCONNECT(6, 1, 0);                            // detach
 *   brevorin_host_context_release(&ctx);
 *
 * The record handed to _TCONNECT is the one the library passes back to the
 * message output. The setting query receives the 32-bit word at byte offset 16
 * of that record (runtime_id below), exactly as the real runtime would.
 *
 * Before any attach the library has no host context: every setting reads as
 * absent (trace off, character set code 1 = US-ASCII) and diagnostics lines
 * are dropped.
 *
 * The record must stay at the same address while it is attached.
 * Setting numbers from 0 to 255 are kept; text values up to 255 bytes.
 */
#ifndef BREVORIN_HOST_H
#define BREVORIN_HOST_H

#include "brevorin.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Called once per diagnostics line, "BREVORIN: <K#> text", handed over
 * without a line break at its end (a sink that prints lines adds one; the
 * rare message that carries its own trailing line break should have it
 * stripped). */
typedef void (*brevorin_message_sink)(void *user, const char *line);

typedef struct brevorin_host_context {
    uint32_t reserved[4];           /* bytes 0..15: not used by the library */
    uint32_t runtime_id;            /* byte offset 16: handle of the settings store */
    uint32_t padding;               /* keeps the pointers below aligned */
    brevorin_message_sink sink;     /* receives diagnostics lines; may be null */
    void *sink_user;                /* first argument of sink */
} brevorin_host_context;

/* Fills the record and gives it a fresh, empty settings store. Returns 0, or
 * -1 when no store is left (at most 64 records may be initialised at once). */
BREVORIN_API int brevorin_host_context_init(brevorin_host_context *ctx) BREVORIN_NOEXCEPT;
/* Releases the settings store of the record. */
BREVORIN_API void brevorin_host_context_release(brevorin_host_context *ctx) BREVORIN_NOEXCEPT;
/* Sets setting number (0..255) to an integer value. Returns 0 or -1. */
BREVORIN_API int brevorin_host_set_int(brevorin_host_context *ctx, int number, int value) BREVORIN_NOEXCEPT;
/* Sets setting number (0..255) to a text value (at most 255 bytes are kept). */
BREVORIN_API int brevorin_host_set_text(brevorin_host_context *ctx, int number, const char *text) BREVORIN_NOEXCEPT;
/* Removes a setting; a query then reports it absent (value 0, no text). */
BREVORIN_API int brevorin_host_clear(brevorin_host_context *ctx, int number) BREVORIN_NOEXCEPT;
BREVORIN_API void brevorin_host_set_message_sink(brevorin_host_context *ctx,
                                                 brevorin_message_sink sink, void *user) BREVORIN_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* BREVORIN_HOST_H */
