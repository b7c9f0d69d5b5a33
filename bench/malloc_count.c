/* An allocation-counting preload: counts every malloc, calloc, realloc,
 * aligned allocation and free of the process and, at exit, appends
 * "allocations N frees M bytes B hwm_kib H" to the file named by
 * MALLOC_COUNT_OUT, H being the process's peak resident memory (VmHWM, which
 * unlike a parent's view of ru_maxrss starts afresh at exec).
 *   LD_PRELOAD=libmalloc_count.so MALLOC_COUNT_OUT=counts.txt program ...
 * Forwards to glibc's own entry points, so it needs no dlsym (which would
 * allocate itself).
 */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

extern void *__libc_malloc(size_t size);
extern void *__libc_calloc(size_t count, size_t size);
extern void *__libc_realloc(void *block, size_t size);
extern void *__libc_memalign(size_t alignment, size_t size);
extern void __libc_free(void *block);

static unsigned long allocations;
static unsigned long frees;
static unsigned long long bytes;

void *malloc(size_t size)
{
    allocations++;
    bytes += size;
    return __libc_malloc(size);
}

void *calloc(size_t count, size_t size)
{
    allocations++;
    bytes += count * size;
    return __libc_calloc(count, size);
}

void *realloc(void *block, size_t size)
{
    allocations++;
    bytes += size;
    return __libc_realloc(block, size);
}

void *memalign(size_t alignment, size_t size)
{
    allocations++;
    bytes += size;
    return __libc_memalign(alignment, size);
}

void *aligned_alloc(size_t alignment, size_t size)
{
    return memalign(alignment, size);
}

int posix_memalign(void **out, size_t alignment, size_t size)
{
    void *block = memalign(alignment, size);
    if (block == NULL)
        return 12; /* ENOMEM */
    *out = block;
    return 0;
}

void free(void *block)
{
    if (block != NULL)
        frees++;
    __libc_free(block);
}

__attribute__((destructor)) static void ReportCounts(void)
{
    const char *path = getenv("MALLOC_COUNT_OUT");
    if (path == NULL)
        return;
    long hwm_kib = -1;
    long anon_kib = -1;
    long file_kib = -1;
    int status = open("/proc/self/status", O_RDONLY);
    if (status >= 0) {
        static char text[4096];
        ssize_t got = read(status, text, sizeof text - 1);
        close(status);
        if (got > 0) {
            text[got] = '\0';
            const char *field = strstr(text, "VmHWM:");
            if (field != NULL)
                hwm_kib = strtol(field + 6, NULL, 10);
            /* The process's own pages, apart from the shared library text the
             * kernel maps in around each page fault (which varies run to run
             * with what else the machine has in its page cache). */
            field = strstr(text, "RssAnon:");
            if (field != NULL)
                anon_kib = strtol(field + 8, NULL, 10);
            field = strstr(text, "RssFile:");
            if (field != NULL)
                file_kib = strtol(field + 8, NULL, 10);
        }
    }
    char line[200];
    int length = snprintf(
        line, sizeof line,
        "allocations %lu frees %lu bytes %llu hwm_kib %ld anon_kib %ld file_kib %ld\n", allocations,
        frees, bytes, hwm_kib, anon_kib, file_kib);
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd >= 0 && length > 0) {
        ssize_t written = write(fd, line, (size_t)length);
        (void)written;
        close(fd);
    }
}
