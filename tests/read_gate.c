/* Loaded with LD_PRELOAD into a child process: stops it (SIGSTOP) right before its Nth read of one file,
 * so that a test acts on an operation exactly that far along, then lets it go on. READ_GATE_FILE names the
 * file (recognised by device and inode, so it may be removed meanwhile), READ_GATE_BEFORE gives N. */
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

ssize_t read(int fd, void *buffer, size_t count) {
    static ssize_t (*real_read)(int, void *, size_t);
    struct stat info;
    if (real_read == NULL) real_read = (ssize_t(*)(int, void *, size_t))dlsym(RTLD_NEXT, "read");
    if (before > 0 && fstat(fd, &info) == 0 && info.st_dev == gate.st_dev && info.st_ino == gate.st_ino &&
        ++seen == before) {
        before = 0;
        raise(SIGSTOP);
    }
    return real_read(fd, buffer, count);
}
