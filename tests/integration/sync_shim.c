/* Preloaded into the tool by test_durable.py: records the calls that give
 * files their names and put them on the disk, one line each, to the file
 * named by SYNC_SHIM_LOG ("fsync <path>", "link <from> <to>", ...). With
 * SYNC_SHIM_FAIL=<n> the n-th fsync of a regular file fails with EIO, with
 * SYNC_SHIM_FAIL_DIR every fsync of a directory; with
 * SYNC_SHIM_NO_LINK link() fails as on a file system without hard links;
 * with SYNC_SHIM_SKIP fsync returns at once (to time the cost of flushing). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static int file_syncs;

static void record(const char* format, ...) {
    const char* log = getenv("SYNC_SHIM_LOG");
    if (log == NULL) return;
    char line[8192];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(line, sizeof line - 1, format, args);
    va_end(args);
    if (n < 0) return;
    if (n > (int)sizeof line - 2) n = (int)sizeof line - 2;
    line[n++] = '\n';
    int fd = open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) return;
    if (write(fd, line, (size_t)n) < 0) {
    }
    close(fd);
}

static void path_of(int fd, char* path, size_t size) {
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, path, size - 1);
    path[n < 0 ? 0 : n] = '\0';
}

static int sync_call(const char* name, int fd) {
    char path[4096];
    path_of(fd, path, sizeof path);
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && getenv("SYNC_SHIM_FAIL_DIR") != NULL) {
        record("%s-failed %s", name, path);
        errno = EIO;
        return -1;
    }
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        const char* fail = getenv("SYNC_SHIM_FAIL");
        if (fail != NULL && atoi(fail) == ++file_syncs) {
            record("%s-failed %s", name, path);
            errno = EIO;
            return -1;
        }
    }
    record("%s %s", name, path);
    if (getenv("SYNC_SHIM_SKIP") != NULL) return 0;
    int (*real)(int) = (int (*)(int))dlsym(RTLD_NEXT, name);
    return real(fd);
}

int fsync(int fd) { return sync_call("fsync", fd); }
int fdatasync(int fd) { return sync_call("fdatasync", fd); }

int link(const char* from, const char* to) {
    if (getenv("SYNC_SHIM_NO_LINK") != NULL) {
        errno = EPERM;
        return -1;
    }
    int (*real)(const char*, const char*) =
        (int (*)(const char*, const char*))dlsym(RTLD_NEXT, "link");
    int rc = real(from, to);
    if (rc == 0) record("link %s %s", from, to);
    return rc;
}

int rename(const char* from, const char* to) {
    int (*real)(const char*, const char*) =
        (int (*)(const char*, const char*))dlsym(RTLD_NEXT, "rename");
    int rc = real(from, to);
    if (rc == 0) record("rename %s %s", from, to);
    return rc;
}
