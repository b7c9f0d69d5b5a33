// What a durable record costs on a file system, without the server: the
// state file's own pattern, a record written in place into one of two
// fixed slots 512 KiB apart (the next write to the other slot), each write
// followed by fdatasync; and the same write without the flush, as the
// record after a command's outcome is written.
//   bench_record_sync FILE COUNT BYTES
// FILE is created (or truncated), both slots written and flushed once, so
// that every timed write lands in place in a file of a fixed size, as the
// server's file does once both its slots hold a record. Prints one JSON
// line, microseconds per write:
//   {"bytes": B, "sync_us": [...], "write_us": [...]}
#define _POSIX_C_SOURCE 200809L
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#define SLOT_SIZE (512 * 1024)
#define MAX_BYTES 65536
#define MAX_COUNT 100000

static double NowUs(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)now.tv_sec * 1e6 + (double)now.tv_nsec / 1e3;
}

static void PrintList(const char *name, const double *values, int count)
{
    printf("\"%s\": [", name);
    for (int i = 0; i < count; i++) {
        printf("%s%.1f", i > 0 ? ", " : "", values[i]);
    }
    printf("]");
}

int main(int argc, char **argv)
{
    static char record[MAX_BYTES];
    static double sync_us[MAX_COUNT];
    static double write_us[MAX_COUNT];
    int count = argc == 4 ? atoi(argv[2]) : 0;
    int bytes = argc == 4 ? atoi(argv[3]) : 0;
    if (count < 1 || count > MAX_COUNT || bytes < 1 || bytes > MAX_BYTES) {
        fprintf(stderr, "usage: bench_record_sync FILE COUNT BYTES (COUNT 1-%d, BYTES 1-%d)\n",
                MAX_COUNT, MAX_BYTES);
        return 2;
    }
    int fd = open(argv[1], O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        perror(argv[1]);
        return 1;
    }
    memset(record, 'r', sizeof record);
    int status = 0;
    for (int slot = 0; slot < 2 && status == 0; slot++) {
        if (pwrite(fd, record, (size_t)bytes, (off_t)slot * SLOT_SIZE) != bytes) {
            status = 1;
        }
    }
    if (status == 0 && fsync(fd) != 0) {
        status = 1;
    }
    for (int i = 0; i < count && status == 0; i++) {
        // A new generation each time, so that every write changes the bytes.
        snprintf(record, 32, "%031d", i);
        off_t at = (off_t)(i % 2) * SLOT_SIZE;
        double begin = NowUs();
        if (pwrite(fd, record, (size_t)bytes, at) != bytes || fdatasync(fd) != 0) {
            status = 1;
            break;
        }
        double flushed = NowUs();
        if (pwrite(fd, record, (size_t)bytes, (off_t)SLOT_SIZE - at) != bytes) {
            status = 1;
            break;
        }
        sync_us[i] = flushed - begin;
        write_us[i] = NowUs() - flushed;
    }
    if (status != 0) {
        perror("bench_record_sync: write");
        close(fd);
        return 1;
    }
    close(fd);
    printf("{\"bytes\": %d, ", bytes);
    PrintList("sync_us", sync_us, count);
    printf(", ");
    PrintList("write_us", write_us, count);
    printf("}\n");
    return 0;
}
