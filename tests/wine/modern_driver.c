/*
 * Drives brevorin.dll with session options, for the tests of the options
 * under Wine:
 *
 *   modern_driver.exe [--trace N] [--charset NAME] COMMAND ARGS... [+ COMMAND ARGS...]...
 *
 * Commands: option NAME VALUE | logon SERVER USER PASSWORD | list |
 *           get N DIR | logoff
 * Output as wine_driver.exe gives it: "RESULT <name> <status>\n", then for
 * each text "TEXT <length>\n", the bytes and "\n".
 */
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "brevorin.h"
#include "brevorin_host.h"

static void sink(void *user, const char *line) {
    (void)user;
    fputs(line, stderr);
}

static void put_text(const char *text) {
    size_t n = text != NULL ? strlen(text) : 0;
    printf("TEXT %lu\n", (unsigned long)n);
    if (n > 0) fwrite(text, 1, n, stdout);
    printf("\n");
}

static int run(int argc, char **argv, int i, MailSession *s) {
    const char *cmd = argv[i];
    if (strcmp(cmd, "option") == 0 && i + 2 < argc) {
        printf("RESULT option %d\n", brevorin_setoption(argv[i + 1], argv[i + 2], s));
        return 3;
    }
    if (strcmp(cmd, "logon") == 0 && i + 3 < argc) {
        printf("RESULT logon %d\n", brevorin_logonmail(argv[i + 1], argv[i + 2], argv[i + 3], s));
        return 4;
    }
    if (strcmp(cmd, "list") == 0) {
        char *list = NULL;
        int status = brevorin_listmail(&list, s);
        printf("RESULT list %d\n", status);
        put_text(list);
        return 1;
    }
    if (strcmp(cmd, "get") == 0 && i + 2 < argc) {
        char *h = NULL, *b = NULL, *f = NULL;
        int status = brevorin_getmail(atoi(argv[i + 1]), argv[i + 2], 0, &h, &b, &f, s);
        printf("RESULT get %d\n", status);
        put_text(h);
        put_text(b);
        put_text(f);
        return 3;
    }
    if (strcmp(cmd, "logoff") == 0) {
        printf("RESULT logoff %d\n", brevorin_logoffmail(s));
        return 1;
    }
    printf("RESULT unknown-%s -100\n", cmd);
    return 1;
}

int main(int argc, char **argv) {
    _setmode(_fileno(stdout), _O_BINARY);
    brevorin_host_context ctx;
    brevorin_host_context_init(&ctx);
    int i = 1;
    for (; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--trace") == 0)
            brevorin_host_set_int(&ctx, 3, atoi(argv[i + 1]));
        else if (strcmp(argv[i], "--charset") == 0)
            brevorin_host_set_text(&ctx, 39, argv[i + 1]);
        else
            break;
    }
    brevorin_host_set_message_sink(&ctx, sink, NULL);
    printf("RESULT attach %d\n", (int)_TCONNECT(1, 0, (brevorin_word)&ctx));
    MailSession *s = NULL;
    printf("RESULT init %d\n", brevorin_init(&s));
    if (s == NULL) return 3;
    while (i < argc) {
        if (strcmp(argv[i], "+") == 0) {
            ++i;
            continue;
        }
        i += run(argc, argv, i, s);
        fflush(stdout);
    }
    brevorin_cleanup(s);
    printf("RESULT cleanup 0\n");
    _TCONNECT(6, 1, 0);
    brevorin_host_context_release(&ctx);
    return 0;
}
