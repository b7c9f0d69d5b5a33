/*
 * simwire - bytes paced at a line rate: ten bit times a byte (a start bit,
 * eight data bits, a stop bit), on an absolute schedule so that rounding
 * never adds up over a long run. A byte is through once its stop bit is,
 * as a receiving UART hands it on. Pure bookkeeping on the queue it is
 * given; the caller brings the time (MonotonicUs) and moves the bytes.
 *
 *   WireQueueInit(queue)                  empty
 *   WireQueueAdd(queue, bytes, len, baud, now)   queue bytes; how many fitted
 *   WireQueueTake(queue, out, size, now)  copy out the bytes through by now
 *   WireQueueTakeAll(queue, out, size)    copy out the bytes waiting, due or not
 *   WireQueueNextUs(queue)                when the next byte is through; -1 if none waits
 *   WireQueueSpace(queue)                 bytes that can still be queued
 */
#ifndef SIMWIRE_H
#define SIMWIRE_H

#ifdef __cplusplus
extern "C" {
#endif

#define WIRE_QUEUE_SIZE 4096

typedef struct WireQueue {
    unsigned char bytes[WIRE_QUEUE_SIZE]; /* waiting bytes, from head */
    int head;                             /* index of the first waiting byte */
    int len;                              /* bytes waiting */
    long long start_us;                   /* when the present burst began, in microseconds */
    long through;                         /* bytes of the burst already through */
    long baud;                            /* rate of the burst, bits per second */
} WireQueue;

void WireQueueInit(WireQueue *queue);
int WireQueueAdd(WireQueue *queue, const unsigned char *bytes, int len, long baud,
                 long long now_us);
int WireQueueTake(WireQueue *queue, unsigned char *out, int size, long long now_us);
int WireQueueTakeAll(WireQueue *queue, unsigned char *out, int size);
long long WireQueueNextUs(const WireQueue *queue);
int WireQueueSpace(const WireQueue *queue);

#ifdef __cplusplus
}
#endif

#endif
