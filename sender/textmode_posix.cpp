// Text files on POSIX: there is no text mode, a line feed is stored as it is.
#include "textmode.h"

#include <errno.h>
#include <sys/stat.h>

const int TEXT_MODE_OPEN_FLAG = 0;

FILE *OpenCommandFile(const char *path)
{
    FILE *commands = fopen(path, "r");
    struct stat status;
    // A directory opens here, and its first read fails like the end of a
    // file: the run would end at once "successfully" with nothing sent.
    if (commands != nullptr && fstat(fileno(commands), &status) == 0 && S_ISDIR(status.st_mode)) {
        fclose(commands);
        commands = nullptr;
        errno = EISDIR;
    }
    return commands;
}
