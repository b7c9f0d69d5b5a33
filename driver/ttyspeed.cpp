// Line speeds of an open port, and the search for the rate at which the
// controller answers a probe through the packet layer.
#include "ttywire.h"

#include "tracelet.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

BaudEntry BaudTbl[TTYWIRE_RATES] = {
    {B1200, 1200}, {B2400, 2400}, {B4800, 4800}, {B9600, 9600}, {B19200, 19200}, {B38400, 38400},
};

// Answers during the search, which the packet layer writes here.
static char FisAnswer[TTYWIRE_ANSWER_SIZE];
static const char PROBE_CHARACTER = 0x2A;

// A terminal that refuses a rate from the table cannot be driven at all.
[[noreturn]] static void SpeedFailed(const char *message)
{
    Tracelet("%s", message);
    exit(1);
}

// BaudTbl's row of a rate, or -1 when the table does not hold it.
static int RateRow(long baud)
{
    for (int row = 0; row < TTYWIRE_RATES; row++) {
        if (BaudTbl[row].baud == baud) {
            return row;
        }
    }
    return -1;
}

int BaudRateKnown(long baud)
{
    return RateRow(baud) >= 0 ? 1 : 0;
}

int SetBaudRate(int port, long baud)
{
    if (port < 0 || port >= TTYWIRE_PORTS || PortControl[port].in_use == 0) {
        return -2;
    }
    int row = RateRow(baud);
    if (row < 0) {
        return -1;
    }
    // The read's result is not looked at; a failing line fails at tcsetattr.
    struct termios line;
    memset(&line, 0, sizeof(line));
    tcgetattr(PortControl[port].fd, &line);
    if (cfsetospeed(&line, BaudTbl[row].speed) != 0 ||
        cfsetispeed(&line, BaudTbl[row].speed) != 0) {
        SpeedFailed("Error cfsetospeed");
    }
    if (tcsetattr(PortControl[port].fd, TCSANOW, &line) != 0) {
        SpeedFailed("Error tcsetattr");
    }
    return 0;
}

int SearchPrn(int port, long *found)
{
    char probe[2];
    unsigned short status1 = 0;
    unsigned short status2 = 0;
    int row = 0;
    int answered = 0;

    Tracelet("Buscando Controlador Fiscal ");
    // One try per rate: a silent line means a wrong rate, not a lost frame.
    int previous_retries = SetCommandRetries(1);
    snprintf(probe, sizeof(probe), "%c", PROBE_CHARACTER);
    for (row = 0; row < TTYWIRE_RATES; row++) {
        SetBaudRate(port, BaudTbl[row].baud);
        Tracelet("Probando a %ld bauds", BaudTbl[row].baud);
        if (MandaPaqueteFiscal(port, probe, &status1, &status2, FisAnswer) == 0) {
            answered = 1;
            break;
        }
    }
    SetCommandRetries(previous_retries);

    if (answered == 0) {
        Tracelet("El controlador fiscal NO fue encontrado !");
        return -1;
    }
    if (found != nullptr) {
        *found = BaudTbl[row].baud;
    }
    Tracelet("Controlador fiscal detectado a %ld baudios", BaudTbl[row].baud);
    return 0;
}
