/*
 * A host program written in C: it supplies PortControl's storage and a
 * scripted packet layer, links the driver's three object modules and the
 * kit's pseudo-terminal opener, and runs the controller search over a real
 * pseudo-terminal. The scripted
 * MandaPaqueteFiscal "answers" only while the line's output speed is the
 * chosen one, as a controller set to one rate would.
 *
 * Prints one line per failed check and ends with status 0 only when every
 * check held.
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include "hexquad.h"
#include "ptypair.h"
#include "tracelet.h"
#include "ttywire.h"

PortEntry PortControl[TTYWIRE_PORTS];

/* ---- the scripted packet layer ---- */

static int Retries = 3;
static int RetriesSeenByProbe = -1;
static speed_t AnsweringSpeed = 0; /* 0: never answers */
static int Probes = 0;
static char LastCommand[16];

int SetCommandRetries(int count)
{
    int previous = Retries;
    Retries = count;
    return previous;
}

int MandaPaqueteFiscal(int port, const char *command, unsigned short *status1,
                       unsigned short *status2, char *answer)
{
    struct termios line;
    Probes++;
    RetriesSeenByProbe = Retries;
    snprintf(LastCommand, sizeof(LastCommand), "%s", command);
    *status1 = 0;
    *status2 = 0;
    answer[0] = '\0';
    if (AnsweringSpeed == 0 || port < 0 || port >= TTYWIRE_PORTS || !PortControl[port].in_use) {
        return -1;
    }
    if (tcgetattr(PortControl[port].fd, &line) != 0 || cfgetospeed(&line) != AnsweringSpeed) {
        return -1;
    }
    snprintf(answer, 500, "%s", "0080\0340600");
    *status1 = (unsigned short)hexquad("0080");
    *status2 = (unsigned short)hexquad("0600");
    return 0;
}

/* ---- trace capture ---- */

#define MAX_TRACES 16
static char Traces[MAX_TRACES][256];
static int TraceCount = 0;

static void CaptureTrace(const char *format, va_list args)
{
    if (TraceCount < MAX_TRACES) {
        vsnprintf(Traces[TraceCount], sizeof(Traces[0]), format, args);
    }
    TraceCount++;
}

/* ---- checks ---- */

static int Failures = 0;

static void Check(int condition, const char *what, const char *context)
{
    if (!condition) {
        printf("FAIL [%s]: %s\n", context, what);
        Failures++;
    }
}

static void CheckTraces(const char *const *expected, int count, const char *context)
{
    char what[600];
    Check(TraceCount == count, "number of traces", context);
    for (int i = 0; i < count && i < TraceCount && i < MAX_TRACES; i++) {
        snprintf(what, sizeof(what), "trace %d is \"%s\", expected \"%s\"", i, Traces[i],
                 expected[i]);
        Check(strcmp(Traces[i], expected[i]) == 0, what, context);
    }
}

/* Opens a pseudo-terminal; returns the master and writes the port name
 * ("pts/N") that start_comm takes. */
static int OpenPty(char *port_name, size_t size)
{
    PtyPair pair;
    if (PtyPairOpen(0, &pair) != 0) {
        perror("pty");
        exit(2);
    }
    snprintf(port_name, size, "%s", pair.port_name);
    return pair.master;
}

static void ResetScript(speed_t speed)
{
    Retries = 3;
    RetriesSeenByProbe = -1;
    AnsweringSpeed = speed;
    Probes = 0;
    LastCommand[0] = '\0';
    TraceCount = 0;
}

static speed_t LineSpeed(int fd)
{
    struct termios line;
    memset(&line, 0, sizeof(line));
    tcgetattr(fd, &line);
    return cfgetospeed(&line);
}

static void FoundAtEachRate(void)
{
    for (int row = 0; row < TTYWIRE_RATES; row++) {
        char context[64], port_name[64], line[64];
        const char *expected[TTYWIRE_RATES + 2];
        static char probing[TTYWIRE_RATES][64];
        long found = -7;
        int master = OpenPty(port_name, sizeof(port_name));
        int slot = start_comm(port_name);
        snprintf(context, sizeof(context), "found at %ld", BaudTbl[row].baud);
        Check(slot == 0, "slot 0 taken", context);

        ResetScript(BaudTbl[row].speed);
        int result = SearchPrn(slot, &found);
        Check(result == 0, "SearchPrn returns 0", context);
        Check(found == BaudTbl[row].baud, "*found is the answering rate", context);
        Check(Probes == row + 1, "one probe per rate tried, stopping at the answer", context);
        Check(strcmp(LastCommand, "*") == 0, "probe text is \"*\"", context);
        Check(RetriesSeenByProbe == 1, "retry count is 1 while probing", context);
        Check(Retries == 3, "retry count given back", context);
        Check(LineSpeed(PortControl[slot].fd) == BaudTbl[row].speed, "line left at the rate found",
              context);

        expected[0] = "Buscando Controlador Fiscal ";
        for (int i = 0; i <= row; i++) {
            snprintf(probing[i], sizeof(probing[i]), "Probando a %ld bauds", BaudTbl[i].baud);
            expected[i + 1] = probing[i];
        }
        snprintf(line, sizeof(line), "Controlador fiscal detectado a %ld baudios",
                 BaudTbl[row].baud);
        expected[row + 2] = line;
        CheckTraces(expected, row + 3, context);

        Check(end_comm(&PortControl[slot]) == 0, "end_comm closes", context);
        close(master);
    }
}

static const char *const NotFoundTraces[] = {
    "Buscando Controlador Fiscal ", "Probando a 1200 bauds",
    "Probando a 2400 bauds",        "Probando a 4800 bauds",
    "Probando a 9600 bauds",        "Probando a 19200 bauds",
    "Probando a 38400 bauds",       "El controlador fiscal NO fue encontrado !",
};

static void NotFound(void)
{
    const char *context = "not found";
    char port_name[64];
    long found = -7;
    int master = OpenPty(port_name, sizeof(port_name));
    int slot = start_comm(port_name);

    ResetScript(0);
    Check(SearchPrn(slot, &found) == -1, "SearchPrn returns -1", context);
    Check(found == -7, "*found unchanged", context);
    Check(Probes == TTYWIRE_RATES, "six probes", context);
    Check(strcmp(LastCommand, "*") == 0, "probe text is \"*\"", context);
    Check(RetriesSeenByProbe == 1, "retry count is 1 while probing", context);
    Check(Retries == 3, "retry count given back", context);
    Check(LineSpeed(PortControl[slot].fd) == B38400, "line left at 38400, the last rate tried",
          context);
    CheckTraces(NotFoundTraces, 8, context);

    end_comm(&PortControl[slot]);
    close(master);
}

static void SlotNotTakenStillProbesSixTimes(void)
{
    const char *context = "slot not taken";
    long found = -7;

    ResetScript(B9600);
    Check(SetBaudRate(4, 9600) == -2, "SetBaudRate on a free slot gives -2", context);
    Check(SearchPrn(4, &found) == -1, "SearchPrn returns -1", context);
    Check(Probes == TTYWIRE_RATES, "six probes through the packet layer", context);
    Check(found == -7, "*found unchanged", context);
    Check(Retries == 3, "retry count given back", context);
    CheckTraces(NotFoundTraces, 8, context);
}

/* The byte calls and hexquad, from C, over the same kind of line. */
static void ByteCallsFromC(void)
{
    const char *context = "byte calls";
    char port_name[64];
    unsigned char byte = 0;
    int master = OpenPty(port_name, sizeof(port_name));
    int slot = start_comm(port_name);
    PortEntry *entry = &PortControl[slot];

    Check(strncmp(entry->device, "/dev/pts/", 9) == 0, "device is /dev/<name>", context);
    Check(SendByte(entry, 0x1ABC) == 0, "SendByte writes", context);
    Check(read(master, &byte, 1) == 1 && byte == 0xBC, "low byte on the wire", context);
    Check(write(master, "Z", 1) == 1, "controller side writes", context);
    Check(GetByteTimed(entry, &byte) == 0 && byte == 'Z', "GetByteTimed reads it", context);
    Check(BufferEmpty(entry) == -1, "line idle again", context);
    Check(hexquad("1A2f") == 6703, "hexquad(\"1A2f\")", context);
    Nop();
    Check(end_comm(entry) == 0, "end_comm closes", context);
    close(master);
}

int main(void)
{
    TraceFunction previous = SetTracelet(CaptureTrace);
    Check(previous == FISCAL_debug, "default trace function is FISCAL_debug", "tracelet");

    ByteCallsFromC();
    FoundAtEachRate();
    NotFound();
    SlotNotTakenStillProbesSixTimes();

    Check(SetTracelet(previous) == CaptureTrace, "SetTracelet hands back the host's function",
          "tracelet");
    printf("%s: %d failed check(s)\n", Failures == 0 ? "PASS" : "FAIL", Failures);
    return Failures == 0 ? 0 : 1;
}
