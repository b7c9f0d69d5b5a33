// Text files on Windows: the runtime's text mode stores a line feed as CR LF.
#include "textmode.h"

#include <fcntl.h>

const int TEXT_MODE_OPEN_FLAG = O_TEXT;

FILE *OpenCommandFile(const char *path)
{
    // Text mode: a CR LF arrives as one line feed and a Ctrl-Z byte ends the
    // input. The runtime refuses to open a directory.
    return fopen(path, "r");
}
