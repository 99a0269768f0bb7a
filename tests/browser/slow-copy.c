// Slows the copy of large files down, so the browser test can watch a
// backup move inside one file. Loaded into backup-host with LD_PRELOAD;
// only chunks of a megabyte or more wait, so small files copy at full speed.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <sys/types.h>
#include <unistd.h>

ssize_t copy_file_range(int in, off_t* inOffset, int out, off_t* outOffset, size_t length,
                        unsigned int flags) {
    typedef ssize_t (*Real)(int, off_t*, int, off_t*, size_t, unsigned int);
    static Real real;
    if (!real) real = (Real)dlsym(RTLD_NEXT, "copy_file_range");
    ssize_t n = real(in, inOffset, out, outOffset, length, flags);
    if (n >= 1024 * 1024) usleep(200 * 1000);
    return n;
}
