// The settings and faults are set from any thread and used by the loop's, so
// they are kept under a lock of their own. The control FIFO and the journal
// serve scripts that drive the simulator from outside: a fault campaign
// writes control lines and later compares the journal with what its clients
// were told, so the journal holds exactly one line per command run, in the
// order they ran.
#include "simcontrols.h"
#include "fiscalframe.h"
#include "fiscalsim.h"
#include "printable.h"
#include "wholenumber.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
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

static pthread_mutex_t SettingsLock = PTHREAD_MUTEX_INITIALIZER;
static long RateBaud = FISCALSIM_DEFAULT_BAUD;
static int BusyMs = FISCALSIM_DEFAULT_BUSY_MS;
static int WireOn;
static int LateCount;
static int LateMs;
static int DropCount;
static int GarbleCount;
static long FramesReceived;
static long CommandsExecuted;

static int FifoFd = -1;
static int FifoKeepFd = -1;
static char FifoPath[FISCALSIM_PATH_MAX];
static char Chunk[256];
static int ChunkLen;
static int ChunkPos;
static char Line[CONTROL_LINE_MAX + 1];
static int LineLen;
static int LineTooLong;

static int JournalFd = -1;

void ControlsReset(long baud, int busy_ms)
{
    pthread_mutex_lock(&SettingsLock);
    RateBaud = baud;
    BusyMs = busy_ms;
    WireOn = 0;
    LateCount = LateMs = DropCount = GarbleCount = 0;
    FramesReceived = CommandsExecuted = 0;
    pthread_mutex_unlock(&SettingsLock);
}

void ControlsSettings(SimSettings *settings)
{
    pthread_mutex_lock(&SettingsLock);
    settings->baud = RateBaud;
    settings->busy_ms = BusyMs;
    settings->wire = WireOn;
    pthread_mutex_unlock(&SettingsLock);
}

// Uses up one of *count; whether there was one.
static int TakeOne(int *count)
{
    pthread_mutex_lock(&SettingsLock);
    int taken = *count > 0;
    if (taken) {
        (*count)--;
    }
    pthread_mutex_unlock(&SettingsLock);
    return taken;
}

int ControlsTakeDrop(void)
{
    return TakeOne(&DropCount);
}

int ControlsTakeGarble(void)
{
    return TakeOne(&GarbleCount);
}

int ControlsTakeLate(void)
{
    int late = 0;
    pthread_mutex_lock(&SettingsLock);
    if (LateCount > 0) {
        LateCount--;
        late = LateMs;
    }
    pthread_mutex_unlock(&SettingsLock);
    return late;
}

static void CountUp(long *counter)
{
    pthread_mutex_lock(&SettingsLock);
    (*counter)++;
    pthread_mutex_unlock(&SettingsLock);
}

static long CountNow(const long *counter)
{
    pthread_mutex_lock(&SettingsLock);
    long count = *counter;
    pthread_mutex_unlock(&SettingsLock);
    return count;
}

void ControlsCountFrame(void)
{
    CountUp(&FramesReceived);
}

void ControlsCountCommand(void)
{
    CountUp(&CommandsExecuted);
}

long fiscalsim_frames_received(void)
{
    return CountNow(&FramesReceived);
}

long fiscalsim_commands_executed(void)
{
    return CountNow(&CommandsExecuted);
}

int fiscalsim_set_rate(long baud)
{
    if (fiscalsim_speed_code(baud) == 0) {
        return -1;
    }
    pthread_mutex_lock(&SettingsLock);
    RateBaud = baud;
    pthread_mutex_unlock(&SettingsLock);
    return 0;
}

void fiscalsim_set_busy(int busy_ms)
{
    pthread_mutex_lock(&SettingsLock);
    BusyMs = busy_ms < 0 ? 0 : busy_ms;
    pthread_mutex_unlock(&SettingsLock);
}

void fiscalsim_set_wire(int on)
{
    pthread_mutex_lock(&SettingsLock);
    WireOn = on != 0;
    pthread_mutex_unlock(&SettingsLock);
}

void fiscalsim_answer_late(int count, int delay_ms)
{
    pthread_mutex_lock(&SettingsLock);
    LateCount = count;
    LateMs = delay_ms;
    pthread_mutex_unlock(&SettingsLock);
}

void fiscalsim_drop(int count)
{
    pthread_mutex_lock(&SettingsLock);
    DropCount = count;
    pthread_mutex_unlock(&SettingsLock);
}

void fiscalsim_garble(int count)
{
    pthread_mutex_lock(&SettingsLock);
    GarbleCount = count;
    pthread_mutex_unlock(&SettingsLock);
}

int fiscalsim_control_fifo(const char *path)
{
    return ControlFifoCreate(path);
}

int fiscalsim_journal(const char *path)
{
    return JournalOpen(path);
}

int ControlFifoCreate(const char *path)
{
    struct stat info;
    int result = -1;
    if (strlen(path) >= sizeof FifoPath) {
        errno = ENAMETOOLONG;
        return -1;
    }
    ControlFifoRemove();
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
        ControlFifoRemove();
        errno = saved;
    }
    return result;
}

int ControlFifoFd(void)
{
    return FifoFd;
}

void ControlFifoRemove(void)
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
int ControlFifoRead(void)
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
    int request = CONTROL_APPLIED;
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
            fiscalsim_answer_late((int)answers, (int)delay);
        }
    } else if (strcmp(name, "drop") == 0 || strcmp(name, "garble") == 0) {
        long frames = count == 2 ? ParseWholeNumber(words[1], 0, CONTROL_COUNT_MAX) : -1;
        sound = frames >= 0;
        if (sound && name[0] == 'd') {
            fiscalsim_drop((int)frames);
        } else if (sound) {
            fiscalsim_garble((int)frames);
        }
    } else if (strcmp(name, "vanish") == 0 || strcmp(name, "back") == 0) {
        sound = count == 1;
        request = name[0] == 'v' ? CONTROL_VANISH : CONTROL_BACK;
    } else if (strcmp(name, "rate") == 0) {
        long baud = count == 2 ? ParseWholeNumber(words[1], 1, CONTROL_RATE_MAX) : -1;
        sound = baud > 0 && fiscalsim_set_rate(baud) == 0;
    } else if (strcmp(name, "busy") == 0) {
        long busy = count == 2 ? ParseWholeNumber(words[1], 0, CONTROL_MS_MAX) : -1;
        sound = busy >= 0;
        if (sound) {
            fiscalsim_set_busy((int)busy);
        }
    } else {
        known = 0;
    }
    if (!sound) {
        fprintf(stderr, "fiscalsim: %s control line: \"%s\"\n", known ? "malformed" : "unknown",
                shown);
        request = CONTROL_APPLIED;
    }
    return request;
}

int ControlFifoNext(void)
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
        int request = CONTROL_APPLIED;
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
    return CONTROL_IDLE;
}

int JournalOpen(const char *path)
{
    JournalClose();
    JournalFd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY, 0644);
    return JournalFd >= 0 ? 0 : -1;
}

// One write of a whole line on an O_APPEND descriptor: a reader never sees
// half a line, and lines from one run never interleave.
void JournalRecord(const char *body, int len)
{
    char line[FRAME_MAX_BODY + 2];
    if (JournalFd < 0) {
        return;
    }
    // The copy ends a byte short of the buffer: room for the newline.
    size_t used = PrintableCopy(body, (size_t)len, line, sizeof line - 1);
    line[used] = '\n';
    ssize_t written = write(JournalFd, line, used + 1);
    if (written != (ssize_t)used + 1) {
        fprintf(stderr, "fiscalsim: cannot write the journal: %s\n",
                written < 0 ? strerror(errno) : "short write");
    }
}

void JournalClose(void)
{
    if (JournalFd >= 0) {
        close(JournalFd);
    }
    JournalFd = -1;
}
