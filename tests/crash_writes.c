// Preloaded into a process, kills it at its Nth call of pwrite64 or ftruncate64, the calls HDF5's
// default driver writes a file with (the store's own code calls pwrite and ftruncate, which pass).
// N comes from the environment variable CRASH_AT_WRITE. A pwrite puts the first half of its bytes
// in place first; a truncation takes place first. Without the variable (or with 0) it only counts,
// and reports the count on standard error at exit. With CRASH_STOP set, the process stops there
// (SIGSTOP) instead, and once continued completes the write; with CRASH_ERRNO set to a number, the
// write fails with that errno instead, and nothing else is done.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/types.h>
#include <unistd.h>

static long writes, crash_at = -1;

static int is_crash_point(void) {
    if (crash_at < 0) {
        const char* at = getenv("CRASH_AT_WRITE");
        crash_at = at ? atol(at) : 0;
    }
    return ++writes == crash_at;
}

ssize_t pwrite64(int fd, const void* buf, size_t n, off_t offset) {
    static ssize_t (*real)(int, const void*, size_t, off_t);
    if (!real) real = (ssize_t (*)(int, const void*, size_t, off_t))dlsym(RTLD_NEXT, "pwrite64");
    if (is_crash_point()) {
        if (getenv("CRASH_ERRNO")) {
            errno = atoi(getenv("CRASH_ERRNO"));
            return -1;
        }
        real(fd, buf, n / 2, offset);
        raise(getenv("CRASH_STOP") ? SIGSTOP : SIGKILL);
    }
    return real(fd, buf, n, offset);
}

int ftruncate64(int fd, off_t length) {
    static int (*real)(int, off_t);
    if (!real) real = (int (*)(int, off_t))dlsym(RTLD_NEXT, "ftruncate64");
    int status = real(fd, length);
    if (is_crash_point()) raise(getenv("CRASH_STOP") ? SIGSTOP : SIGKILL);
    return status;
}

__attribute__((destructor)) static void report(void) {
    if (crash_at == 0) fprintf(stderr, "writes: %ld\n", writes);
}
