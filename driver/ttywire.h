/*
 * ttywire - serial line layer of the fiscal controller driver (Linux).
 *
 *   start_comm(name)        open "/dev/<name>" raw at 9600 baud in the lowest free slot
 *   end_comm(entry)         free the slot and close the device
 *   SendByte / GetByte      one byte out / in (GetByte does not wait)
 *   GetByteTimed            one byte in, waiting at most 2 seconds
 *   SendCommand(entry, s)   the whole string in one write
 *   BufferEmpty(entry)      0 when a byte is waiting, -1 when none is
 *   DoTimeout / rdchk       readability of a descriptor within N seconds / now
 *   SetBaudRate(port, baud) one of the six rates of BaudTbl
 *   BaudRateKnown(baud)     whether a rate is one of BaudTbl's
 *   SearchPrn(port, &baud)  find the rate at which the controller answers
 *
 * The host program supplies PortControl's storage and the packet layer
 * (MandaPaqueteFiscal, SetCommandRetries); this module defines neither.
 */
#ifndef TTYWIRE_H
#define TTYWIRE_H

#include <termios.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TTYWIRE_PORTS       10  /* slots in PortControl */
#define TTYWIRE_RATES       6   /* rows in BaudTbl */
#define TTYWIRE_ANSWER_SIZE 500 /* bytes MandaPaqueteFiscal may write into answer */

typedef struct PortEntry {
    int fd;                  /* open descriptor of the serial device */
    char layer_area[1000];   /* the packet layer's own; never touched here */
    unsigned char link_byte; /* set to 0x20 when the slot is taken; never read here */
    char device[50];         /* "/dev/" and the port name, NUL-terminated */
    unsigned char in_use;    /* 0 free, 1 taken */
} PortEntry;

typedef struct BaudEntry {
    unsigned int speed; /* terminal speed code for cfsetospeed/cfsetispeed */
    long baud;          /* the same rate in bits per second */
} BaudEntry;

extern PortEntry PortControl[TTYWIRE_PORTS]; /* storage: the host's */
extern struct termios TermioCons;            /* console attributes, filled by the host */
extern BaudEntry BaudTbl[TTYWIRE_RATES];     /* 1200 .. 38400, in search order */

/* Slot index 0-9; -1 when all slots are taken; ends the process (status 1)
 * when the device cannot be opened or set up. */
int start_comm(const char *name);
int end_comm(PortEntry *entry);                         /* close's result */
int SendByte(PortEntry *entry, int value);              /* 0 written, -1 not */
int GetByte(PortEntry *entry, unsigned char *out);      /* 0 read, -1 none (traced) */
int GetByteTimed(PortEntry *entry, unsigned char *out); /* 0 read, -1 none in 2 s */
int SendCommand(PortEntry *entry, const char *text);    /* 0 all written, -1 not (traced) */
int BufferEmpty(PortEntry *entry);                      /* 0 byte waiting, -1 none */
int DoTimeout(int fd, int seconds);                     /* 1 readable in time, 0 not */
int rdchk(int fd);                                      /* 1 byte waiting now, 0 not */
int RestoreTTY(void);                                   /* tcsetattr's result */
void Nop(void);

/* 0 set; -1 rate not in BaudTbl; -2 slot out of range or free.
 * Ends the process (status 1) when the terminal refuses the speed. */
int SetBaudRate(int port, long baud);
int BaudRateKnown(long baud); /* 1 when baud is one of BaudTbl's rates, 0 when not */
/* 0 and *found set to the rate that answered; -1 when none did. */
int SearchPrn(int port, long *found);

/* The packet layer, supplied by the host. */
int SetCommandRetries(int count); /* returns the previous count */
/* 0 exactly when the controller answered; writes at most TTYWIRE_ANSWER_SIZE
 * bytes, terminator included, into answer. */
int MandaPaqueteFiscal(int port, const char *command, unsigned short *status1,
                       unsigned short *status2, char *answer);

#ifdef __cplusplus
}
#endif

#endif
