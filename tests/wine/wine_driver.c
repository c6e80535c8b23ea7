/*
 * Drives brevorin.dll the way a host does: attaches through _TCONNECT with
 * the runtime stand-in, creates a session and runs the commands given as
 * arguments, in order. Used by the tests under Wine.
 *
 *   wine_driver.exe [--trace N] [--charset NAME] COMMAND ARGS... [+ COMMAND ARGS...]...
 *
 * Commands: logon SERVER USER PASSWORD_FILE | logoff | list | delete N |
 *           get N DIR MAX | raw N MAX | send SERVER HEADER_FILE TEXT_FILE ATT_FILE MAX |
 *           option NAME VALUE (brevorin_setoption) |
 *           session (a second session: init, print count, cleanup)
 * Output, per command: "RESULT <name> <status>\n", then for each text it
 * hands out "TEXT <length>\n" followed by the bytes and "\n", then
 * "TIME <milliseconds>\n" the call took. Diagnostics lines go to stderr.
 */
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "brevorin.h"
#include "brevorin_host.h"

static void sink(void *user, const char *line) {
    (void)user;
    fputs(line, stderr);
    if (line[0] == '\0' || line[strlen(line) - 1] != '\n') fputc('\n', stderr);
}

static char *read_file(const char *path) {
    FILE *f = fopen(path, "rb");
    if (f == NULL) return NULL;
    fseek(f, 0, SEEK_END);
    long n = ftell(f);
    fseek(f, 0, SEEK_SET);
    char *data = malloc((size_t)n + 1);
    if (data != NULL) {
        size_t got = fread(data, 1, (size_t)n, f);
        data[got] = '\0';
    }
    fclose(f);
    return data;
}

static void put_text(const char *text) {
    size_t n = text != NULL ? strlen(text) : 0;
    printf("TEXT %lu\n", (unsigned long)n);
    if (n > 0) fwrite(text, 1, n, stdout);
    printf("\n");
}

static int run(int argc, char **argv, int i, MailSession *s) {
    const char *cmd = argv[i];
    int status;
    if (strcmp(cmd, "logon") == 0 && i + 3 < argc) {
        char *password = read_file(argv[i + 3]);
        if (password != NULL) {
            size_t n = strlen(password);
            while (n > 0 && (password[n - 1] == '\n' || password[n - 1] == '\r')) password[--n] = 0;
        }
        status = brevorin_logonmail(argv[i + 1], argv[i + 2], password, s);
        free(password);
        printf("RESULT logon %d\n", status);
        return 4;
    }
    if (strcmp(cmd, "logoff") == 0) {
        printf("RESULT logoff %d\n", brevorin_logoffmail(s));
        return 1;
    }
    if (strcmp(cmd, "list") == 0) {
        char *list = NULL;
        status = brevorin_listmail(&list, s);
        printf("RESULT list %d\n", status);
        put_text(list);
        return 1;
    }
    if (strcmp(cmd, "delete") == 0 && i + 1 < argc) {
        printf("RESULT delete %d\n", brevorin_deletemail(atoi(argv[i + 1]), s));
        return 2;
    }
    if (strcmp(cmd, "get") == 0 && i + 3 < argc) {
        char *h = NULL, *b = NULL, *f = NULL;
        status = brevorin_getmail(atoi(argv[i + 1]), argv[i + 2], atoi(argv[i + 3]), &h, &b, &f, s);
        printf("RESULT get %d\n", status);
        put_text(h);
        put_text(b);
        put_text(f);
        return 4;
    }
    if (strcmp(cmd, "raw") == 0 && i + 2 < argc) {
        char *t = NULL;
        status = brevorin_getrawmail(atoi(argv[i + 1]), atoi(argv[i + 2]), &t, s);
        printf("RESULT raw %d\n", status);
        put_text(t);
        return 3;
    }
    if (strcmp(cmd, "send") == 0 && i + 5 < argc) {
        char *headers = read_file(argv[i + 2]);
        char *text = read_file(argv[i + 3]);
        char *att = read_file(argv[i + 4]);
        status = brevorin_sendmail(argv[i + 1], headers, text, att ? att : "", atoi(argv[i + 5]), s);
        free(headers);
        free(text);
        free(att);
        printf("RESULT send %d\n", status);
        return 6;
    }
    if (strcmp(cmd, "option") == 0 && i + 2 < argc) {
        printf("RESULT option %d\n", brevorin_setoption(argv[i + 1], argv[i + 2], s));
        return 3;
    }
    if (strcmp(cmd, "session") == 0) {
        MailSession *other = NULL;
        int count = brevorin_init(&other);
        printf("RESULT session %d\n", count);
        brevorin_cleanup(other);
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
        DWORD start = GetTickCount();
        i += run(argc, argv, i, s);
        printf("TIME %lu\n", (unsigned long)(GetTickCount() - start));
        fflush(stdout);
    }
    brevorin_cleanup(s);
    printf("RESULT cleanup 0\n");
    _TCONNECT(6, 1, 0);
    brevorin_host_context_release(&ctx);
    return 0;
}
