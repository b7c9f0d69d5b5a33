// A fault campaign writes control lines here and later compares the journal
// with what its clients were told. Lines arrive in chunks of any size and
// from several writers; each whole line is acted on as it completes, and a
// line that is unknown, malformed or too long is reported and ignored.
#include "simfifo.h"
#include "fiscalframe.h"
#include "printable.h"
#include "siminternal.h"
#include "simsettings.h"
#include "wholenumber.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

// The longest sound line is about 20 bytes; longer ones are reported whole.
static const int CONTROL_LINE_MAX = 64;
static const int CONTROL_WORDS_MAX = 3;
static const long CONTROL_COUNT_MAX = 1000000;
static const long CONTROL_MS_MAX = 600000;
static const long CONTROL_RATE_MAX = 4000000;

static int FifoFd = -1;
static int FifoKeepFd = -1;
static char FifoPath[SIM_PATH_MAX];
static char Chunk[256];
static int ChunkLen;
static int ChunkPos;
static char Line[CONTROL_LINE_MAX + 1];
static int LineLen;
static int LineTooLong;

int SimFifoCreate(const char *path)
{
    struct stat info;
    int result = -1;
    if (strlen(path) >= sizeof FifoPath) {
        errno = ENAMETOOLONG;
        return -1;
    }
    SimFifoRemove();
    // mkfifo refuses any existing path, a dangling link included: nothing of
    // the user's is ever taken over or removed at exit.
    if (mkfifo(path, 0600) != 0) {
        return -1;
    }
    snprintf(FifoPath, sizeof FifoPath, "%s", path);
    ChunkLen = ChunkPos = LineLen = LineTooLong = 0;
    FifoFd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
    // A writer of its own: writers coming and going then never leave the
    // FIFO without one, so it never reads as ended.
    if (FifoFd >= 0) {
        FifoKeepFd = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
    }
    // The path is checked once open: it must still be the FIFO made above.
    if (FifoKeepFd >= 0 && fstat(FifoFd, &info) == 0) {
        result = S_ISFIFO(info.st_mode) ? 0 : -1;
        if (result != 0) {
            errno = EEXIST;
        }
    }
    if (result != 0) {
        int saved = errno;
        SimFifoRemove();
        errno = saved;
    }
    return result;
}

int SimFifoFd(void)
{
    return FifoFd;
}

void SimFifoRemove(void)
{
    if (FifoFd >= 0) {
        close(FifoFd);
    }
    if (FifoKeepFd >= 0) {
        close(FifoKeepFd);
    }
    FifoFd = FifoKeepFd = -1;
    if (FifoPath[0] != '\0') {
        unlink(FifoPath);
    }
    FifoPath[0] = '\0';
}

// One chunk per call, taken only once the last one is used up; the bytes
// taken, 0 when none came.
int SimFifoRead(void)
{
    if (FifoFd < 0 || ChunkPos < ChunkLen) {
        return 0;
    }
    ssize_t got = read(FifoFd, Chunk, sizeof Chunk);
    ChunkLen = got > 0 ? (int)got : 0;
    ChunkPos = 0;
    return ChunkLen;
}

// The line as a message shows it, one line on a terminal. FS separates
// nothing on a control line, so it shows as '.' as every other control byte
// does; the copy has a byte for each byte of the line.
static void ShowLine(const char *line, int len, char *shown, int size)
{
    size_t used = PrintableCopy(line, (size_t)len, shown, (size_t)size);
    for (size_t i = 0; i < used; i++) {
        if ((unsigned char)line[i] == FRAME_FS) {
            shown[i] = '.';
        }
    }
}

// Words separated by one space each. words[0] is always set; the count, or
// -1 for an empty word (two spaces, a space at an end) or too many words.
static int SplitWords(char *line, char **words, int max)
{
    int count = 0;
    int sound = 1;
    char *word = line;
    while (word != nullptr) {
        char *space = strchr(word, ' ');
        if (space != nullptr) {
            *space = '\0';
        }
        if (word[0] == '\0') {
            sound = 0;
        }
        if (count < max) {
            words[count] = word;
        }
        count++;
        word = space != nullptr ? space + 1 : nullptr;
    }
    return sound && count <= max ? count : -1;
}

static int ActOnLine(char *line, int len)
{
    char shown[CONTROL_LINE_MAX + 1];
    char *words[CONTROL_WORDS_MAX];
    int request = SIM_FIFO_APPLIED;
    int known = 1;
    int sound = 0;
    ShowLine(line, len, shown, (int)sizeof shown);
    // A NUL inside the line would hide what follows it from the parser.
    int has_nul = (int)strlen(line) != len;
    int count = has_nul ? -1 : SplitWords(line, words, CONTROL_WORDS_MAX);
    const char *name = has_nul ? "" : words[0];
    if (strcmp(name, "late") == 0) {
        long answers = count == 3 ? ParseWholeNumber(words[1], 0, CONTROL_COUNT_MAX) : -1;
        long delay = count == 3 ? ParseWholeNumber(words[2], 0, CONTROL_MS_MAX) : -1;
        sound = answers >= 0 && delay >= 0;
        if (sound) {
            SimFaultLate((int)answers, (int)delay);
        }
    } else if (strcmp(name, "drop") == 0 || strcmp(name, "garble") == 0) {
        long frames = count == 2 ? ParseWholeNumber(words[1], 0, CONTROL_COUNT_MAX) : -1;
        sound = frames >= 0;
        if (sound && name[0] == 'd') {
            SimFaultDrop((int)frames);
        } else if (sound) {
            SimFaultGarble((int)frames);
        }
    } else if (strcmp(name, "vanish") == 0 || strcmp(name, "back") == 0) {
        sound = count == 1;
        request = name[0] == 'v' ? SIM_FIFO_VANISH : SIM_FIFO_BACK;
    } else if (strcmp(name, "rate") == 0) {
        long baud = count == 2 ? ParseWholeNumber(words[1], 1, CONTROL_RATE_MAX) : -1;
        sound = baud > 0 && SimSettingsSetRate(baud) == 0;
    } else if (strcmp(name, "busy") == 0) {
        long busy = count == 2 ? ParseWholeNumber(words[1], 0, CONTROL_MS_MAX) : -1;
        sound = busy >= 0;
        if (sound) {
            SimSettingsSetBusy((int)busy);
        }
    } else {
        known = 0;
    }
    if (!sound) {
        fprintf(stderr, "fiscalsim: %s control line: \"%s\"\n", known ? "malformed" : "unknown",
                shown);
        request = SIM_FIFO_APPLIED;
    }
    return request;
}

int SimFifoNext(void)
{
    while (ChunkPos < ChunkLen) {
        char byte = Chunk[ChunkPos++];
        if (byte != '\n') {
            if (LineLen < CONTROL_LINE_MAX) {
                Line[LineLen++] = byte;
            } else {
                LineTooLong = 1;
            }
            continue;
        }
        Line[LineLen] = '\0';
        int request = SIM_FIFO_APPLIED;
        if (LineTooLong) {
            char shown[CONTROL_LINE_MAX + 1];
            ShowLine(Line, LineLen, shown, (int)sizeof shown);
            fprintf(stderr, "fiscalsim: control line too long: \"%s...\"\n", shown);
        } else {
            request = ActOnLine(Line, LineLen);
        }
        LineLen = 0;
        LineTooLong = 0;
        return request;
    }
    return SIM_FIFO_IDLE;
}
