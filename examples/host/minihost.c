/*
 * minihost - the smallest host program of the driver: it opens the
 * controller's line, finds the rate the controller answers at, asks for its
 * status and prints the answer with FS shown as '|'.
 *
 *   minihost port_name        (such as ttyS0, ttyUSB0 or pts/4)
 *
 * Build it against an installed kit:
 *   cc minihost.c $(pkg-config --cflags --libs fiscalpacket) -o minihost
 */
#include <stdio.h>

#include "fiscalpacket.h"
#include "tracelet.h"
#include "ttywire.h"

static void PrintShown(const char *text)
{
    for (; *text != '\0'; text++) {
        putchar(*text == 0x1C ? '|' : *text);
    }
}

int main(int argc, char **argv)
{
    int port;
    int status = 1;
    long baud = 0;
    unsigned short printer = 0;
    unsigned short fiscal = 0;
    char answer[PACKET_ANSWER_SIZE];

    if (argc != 2) {
        fprintf(stderr, "usage: minihost port_name   (such as ttyS0 or pts/4)\n");
        return 2;
    }
    set_debug_options(1, 0, ""); /* the driver's messages on the console */
    port = start_comm(argv[1]);  /* ends the process if the device fails */
    if (port < 0) {
        fprintf(stderr, "minihost: all port slots are taken\n");
        return 1;
    }
    if (SearchPrn(port, &baud) == 0) {
        if (MandaPaqueteFiscal(port, "*", &printer, &fiscal, answer) == 0) {
            printf("status %04X %04X answer [", printer, fiscal);
            PrintShown(answer);
            printf("]\n");
            status = 0;
        } else {
            fprintf(stderr, "minihost: the controller did not answer (reason %d)\n",
                    PacketLastError());
        }
    }
    end_comm(&PortControl[port]);
    return status;
}
