/* Test helper, loaded with LD_PRELOAD into a child process: stops the process
 * (SIGSTOP) right before its Nth read (read or pread) of one file, so that a test can act on an
 * operation that is exactly that far along (kill it, cut or remove its source)
 * and then let it go on. Configured by READ_GATE_FILE (the file, recognised by
 * device and inode, so it may be removed meanwhile) and READ_GATE_BEFORE (N,
 * counted from 1). Without both, reads pass through untouched. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

typedef ssize_t (*read_function)(int, void *, size_t);
typedef ssize_t (*pread_function)(int, void *, size_t, off_t);

static read_function real_read;
static pread_function real_pread, real_pread64;
static dev_t gate_device;
static ino_t gate_inode;
static long gate_before;
static long reads_seen;
static int armed;

__attribute__((constructor)) static void read_gate_init(void) {
    real_read = (read_function)dlsym(RTLD_NEXT, "read");
    real_pread = (pread_function)dlsym(RTLD_NEXT, "pread");
    real_pread64 = (pread_function)dlsym(RTLD_NEXT, "pread64");
    const char *file = getenv("READ_GATE_FILE");
    const char *before = getenv("READ_GATE_BEFORE");
    struct stat info;
    if (file != NULL && before != NULL && stat(file, &info) == 0) {
        gate_device = info.st_dev;
        gate_inode = info.st_ino;
        gate_before = atol(before);
        armed = gate_before > 0;
    }
}

static void gate(int fd) {
    if (armed) {
        struct stat info;
        if (fstat(fd, &info) == 0 && info.st_dev == gate_device && info.st_ino == gate_inode &&
            ++reads_seen == gate_before) {
            armed = 0;
            raise(SIGSTOP);
        }
    }
}

ssize_t read(int fd, void *buffer, size_t count) {
    gate(fd);
    if (real_read == NULL) real_read = (read_function)dlsym(RTLD_NEXT, "read");
    return real_read(fd, buffer, count);
}

ssize_t pread(int fd, void *buffer, size_t count, off_t offset) {
    gate(fd);
    if (real_pread == NULL) real_pread = (pread_function)dlsym(RTLD_NEXT, "pread");
    return real_pread(fd, buffer, count, offset);
}

ssize_t pread64(int fd, void *buffer, size_t count, off_t offset) {
    gate(fd);
    if (real_pread64 == NULL) real_pread64 = (pread_function)dlsym(RTLD_NEXT, "pread64");
    return real_pread64(fd, buffer, count, offset);
}
