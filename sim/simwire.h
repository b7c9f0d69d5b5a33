/*
 * simwire - bytes paced at a line rate: ten bit times a byte (a start bit,
 * eight data bits, a stop bit), on an absolute schedule so that rounding
 * never adds up over a long run. A byte is through once its stop bit is,
 * as a receiving UART hands it on. Pure bookkeeping on the queue it is
 * given; the caller brings the time (MonotonicUs) and moves the bytes.
 *
 *   SimWireInit(queue)                      empty
 *   SimWireAdd(queue, bytes, len, baud, now)  queue bytes; how many fitted
 *   SimWireTake(queue, out, size, now)      copy out the bytes through by now
 *   SimWireTakeAll(queue, out, size)        copy out the bytes waiting, due or not
 *   SimWireNextUs(queue)                    when the next byte is through; -1 if none waits
 *   SimWireSpace(queue)                     bytes that can still be queued
 */
#ifndef SIMWIRE_H
#define SIMWIRE_H

#ifdef __cplusplus
extern "C" {
#endif

#define SIM_WIRE_QUEUE_SIZE 4096

typedef struct SimWireQueue {
    unsigned char bytes[SIM_WIRE_QUEUE_SIZE]; /* waiting bytes, from head */
    int head;                                 /* index of the first waiting byte */
    int len;                                  /* bytes waiting */
    long long start_us;                       /* when the present burst began, in microseconds */
    long through;                             /* bytes of the burst already through */
    long baud;                                /* rate of the burst, bits per second */
} SimWireQueue;

void SimWireInit(SimWireQueue *queue);
int SimWireAdd(SimWireQueue *queue, const unsigned char *bytes, int len, long baud,
               long long now_us);
int SimWireTake(SimWireQueue *queue, unsigned char *out, int size, long long now_us);
int SimWireTakeAll(SimWireQueue *queue, unsigned char *out, int size);
long long SimWireNextUs(const SimWireQueue *queue);
int SimWireSpace(const SimWireQueue *queue);

#ifdef __cplusplus
}
#endif

#endif
