// The handover file's parts: each one tagged and sized, so that a reader
// that expects another layout stops at the first part that differs.
#include "fiscald_handover.h"

#include <fcntl.h>
#include <unistd.h>

struct Part {
    int tag;
    unsigned int size;
};

int HandoverPut(int fd, int tag, const void *bytes, size_t size)
{
    struct Part part = {tag, (unsigned int)size};
    if (write(fd, &part, sizeof part) != (ssize_t)sizeof part ||
        write(fd, bytes, size) != (ssize_t)size) {
        return -1;
    }
    return 0;
}

int HandoverGet(int fd, int tag, void *bytes, size_t size)
{
    struct Part part;
    if (read(fd, &part, sizeof part) != (ssize_t)sizeof part || part.tag != tag ||
        part.size != size || read(fd, bytes, size) != (ssize_t)size) {
        return -1;
    }
    return 0;
}

void HandoverKeepOpen(int fd, int keep)
{
    int flags = fcntl(fd, F_GETFD);
    if (fd >= 0 && flags >= 0) {
        fcntl(fd, F_SETFD, keep ? flags & ~FD_CLOEXEC : flags | FD_CLOEXEC);
    }
}
