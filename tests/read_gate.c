/* Preloaded: stops the process (SIGSTOP) right before its READ_GATE_BEFORE-th read of READ_GATE_FILE, that file
 * recognised by device and inode (so it may be removed meanwhile). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

static struct stat gate;
static long before, seen;

__attribute__((constructor)) static void arm(void) {
    const char *file = getenv("READ_GATE_FILE"), *n = getenv("READ_GATE_BEFORE");
    if (file != NULL && n != NULL && stat(file, &gate) == 0) before = atol(n);
}

static void stop_before(int fd) {
    struct stat info;
    if (before > 0 && fstat(fd, &info) == 0 && info.st_dev == gate.st_dev && info.st_ino == gate.st_ino &&
        ++seen == before) {
        before = 0;
        raise(SIGSTOP);
    }
}

#define GATED(name, ...)                                                          \
    ssize_t name(int fd, void* buffer, size_t count __VA_OPT__(, ) __VA_ARGS__) { \
        static ssize_t (*real)(int, void*, size_t __VA_OPT__(, ) __VA_ARGS__);    \
        if (real == NULL) real = dlsym(RTLD_NEXT, #name);                         \
        stop_before(fd);                                                          \
        return real(fd, buffer, count __VA_OPT__(, offset));                      \
    }
GATED(read)
GATED(pread, off_t offset)
GATED(pread64, off64_t offset)
