// Messages where a service's messages go: with --journal each one is a plain
// line on standard error, without the trace file's stamp (the journal stamps
// its lines) and without CR. The trace file, when one is set, keeps its own
// stamped lines through the trace channel's default function.
#include "fiscald_journal.h"
#include "tracelet.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

static TraceFunction FileTrace;

static void JournalTrace(const char *format, va_list arguments)
{
    char line[1024];
    va_list for_file;
    va_copy(for_file, arguments);
    int length = vsnprintf(line, sizeof line - 1, format, arguments);
    if (length < 0) {
        length = 0;
    }
    if (length > (int)sizeof line - 2) {
        length = (int)sizeof line - 2;
    }
    // A message is one line: a line break inside it would start a record
    // that looks like a message of its own.
    for (int i = 0; i < length; i++) {
        if (line[i] == '\n' || line[i] == '\r') {
            line[i] = ' ';
        }
    }
    line[length] = '\n';
    // One write, so that the server's and the line worker's lines never mix.
    ssize_t written = write(STDERR_FILENO, line, (size_t)length + 1);
    (void)written;   // a failed write has nowhere left to be told
    if (fsave && FileTrace != nullptr) {
        FileTrace(format, for_file);
    }
    va_end(for_file);
}

void JournalUse(void)
{
    fdebug = 0;   // the console copy is this line now
    FileTrace = SetTracelet(JournalTrace);
}
