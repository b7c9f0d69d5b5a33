// The controller's line as the server keeps it: opened once, its rate set or
// searched, each command sent through the packet layer, and reopened after
// the device vanished (unplugged) once the device can be opened again.
#include "fiscald.h"
#include "fiscalpacket.h"
#include "tracelet.h"
#include "ttywire.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

enum LineState {
    LINE_READY,     // open, at a rate the controller answered (or was told)
    LINE_NO_RATE,   // open, the search found no controller yet
    LINE_GONE       // the device vanished; the slot is free
};

// Reopen attempts while the line is gone, at most this often, so that a
// command storm does not turn into an open storm on a missing device.
static const long long REOPEN_EVERY_MS = 1000;

static char PortName[FISCALD_MAX_NAME + 1];
static char DevicePath[FISCALD_MAX_NAME + 8];
static long WantedBaud;       // 0: start_comm's 9600
static int SearchRate;
static int Slot = -1;
static int State = LINE_GONE;
static long long LastReopenMs;
static char Answer[PACKET_ANSWER_SIZE];
static char Command[FISCALD_RECEIVE_MAX + 1];
static char Printable[FISCALD_REPLY_MAX + 1];

static long long NowMs(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

// start_comm ends the process on a device it cannot open or set up, so the
// device is tried here first, the same way start_comm opens it.
static int DeviceUsable(int *error)
{
    int fd = open(DevicePath, O_RDWR | O_NONBLOCK | O_NOCTTY);
    int usable = 0;
    if (fd < 0) {
        *error = errno;
    } else if (!isatty(fd)) {
        *error = ENOTTY;
        close(fd);
    } else {
        usable = 1;
        close(fd);
    }
    return usable;
}

static void LoseLine(void);

static void SetRate(void)
{
    State = LINE_READY;
    if (SearchRate) {
        long found = 0;
        if (SearchPrn(Slot, &found) != 0) {
            State = LINE_NO_RATE;
            Tracelet("fiscald: controlador no encontrado en %s", DevicePath);
            // A search over a vanished device fails like one over a silent
            // controller; only the first is worth reopening.
            if (PacketLastError() == PACKET_LINE_GONE)
                LoseLine();
        }
    } else if (WantedBaud != 0) {
        SetBaudRate(Slot, WantedBaud);
    }
}

static int TakeLine(void)
{
    Slot = start_comm(PortName);
    if (Slot < 0) {
        State = LINE_GONE;
        return -1;
    }
    SetRate();
    return 0;
}

int LineOpen(const char *name, long baud, int search)
{
    int error = 0;
    snprintf(PortName, sizeof PortName, "%s", name);
    snprintf(DevicePath, sizeof DevicePath, "/dev/%s", name);
    WantedBaud = baud;
    SearchRate = search;
    if (!DeviceUsable(&error)) {
        fprintf(stderr, "fiscald: no se puede abrir %s: %s\n", DevicePath, strerror(error));
        return -1;
    }
    if (TakeLine() != 0) {
        fprintf(stderr, "fiscald: no hay lugar en la tabla de puertos para %s\n", DevicePath);
        return -1;
    }
    Tracelet("fiscald: linea abierta en %s", DevicePath);
    return 0;
}

static void LoseLine(void)
{
    if (Slot >= 0 && PortControl[Slot].in_use)
        end_comm(&PortControl[Slot]);
    Slot = -1;
    State = LINE_GONE;
    LastReopenMs = NowMs();
    Tracelet("fiscald: linea caida en %s", DevicePath);
}

static void TryReopen(void)
{
    int error = 0;
    LastReopenMs = NowMs();
    if (!DeviceUsable(&error))
        return;
    if (TakeLine() == 0)
        Tracelet("fiscald: linea abierta otra vez en %s", DevicePath);
}

void LineCheck(void)
{
    if (State == LINE_GONE && NowMs() - LastReopenMs >= REOPEN_EVERY_MS)
        TryReopen();
}

static const char *ReasonFor(int packet_error)
{
    switch (packet_error) {
    case PACKET_REFUSED: return REPLY_TRANSMISSION;
    case PACKET_LINE_GONE:
    case PACKET_BAD_PORT: return REPLY_LINE_DOWN;
    case PACKET_BAD_COMMAND: return REPLY_BAD_COMMAND;
    case PACKET_BUSY_TOO_LONG: return REPLY_BUSY;
    default: return REPLY_NO_ANSWER;
    }
}

// A client's line ending (a hand-typed command through a terminal program)
// is not part of the command: no controller command ends in CR or LF.
static size_t WithoutLineEnding(const char *command, size_t length)
{
    while (length > 0 && (command[length - 1] == '\n' || command[length - 1] == '\r'))
        length--;
    return length;
}

static int Exchange(char *reply, size_t size)
{
    unsigned short status1 = 0;
    unsigned short status2 = 0;
    if (MandaPaqueteFiscal(Slot, Command, &status1, &status2, Answer) == 0)
        return ReplyAnswer(reply, size, status1, status2, Answer);
    int packet_error = PacketLastError();
    Tracelet("fiscald: el comando fallo (error %d del paquete)", packet_error);
    if (packet_error == PACKET_LINE_GONE || packet_error == PACKET_BAD_PORT)
        LoseLine();
    return ReplyError(reply, size, ReasonFor(packet_error));
}

int LineExchange(const char *command, size_t length, char *reply, size_t size)
{
    int written;
    length = WithoutLineEnding(command, length);
    ReplyPrintable(command, length, Printable, sizeof Printable);
    Tracelet("fiscald: comando [%s]", Printable);
    if (length == 0 || length > PACKET_MAX_COMMAND || memchr(command, '\0', length) != NULL) {
        // A NUL would cut the command short unseen; the rest would be lost.
        written = ReplyError(reply, size, REPLY_BAD_COMMAND);
    } else {
        if (State == LINE_GONE)
            TryReopen();
        else if (State == LINE_NO_RATE)
            SetRate();
        if (State == LINE_GONE) {
            written = ReplyError(reply, size, REPLY_LINE_DOWN);
        } else if (State == LINE_NO_RATE) {
            written = ReplyError(reply, size, REPLY_NO_ANSWER);
        } else {
            memcpy(Command, command, length);
            Command[length] = '\0';
            written = Exchange(reply, size);
        }
    }
    ReplyPrintable(reply, (size_t)written, Printable, sizeof Printable);
    Tracelet("fiscald: respuesta [%s]", Printable);
    return written;
}

void LineClose(void)
{
    if (Slot >= 0 && PortControl[Slot].in_use)
        end_comm(&PortControl[Slot]);
    Slot = -1;
    State = LINE_GONE;
}
