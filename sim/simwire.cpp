// Byte k of a burst (from 0) is through at start + (k + 1) byte times, a
// byte time being 10000000 / baud microseconds. Counting from the burst's
// start, not from the previous byte, keeps a long answer to its exact length
// on a clock that only has whole microseconds.
#include "simwire.h"

#include <string.h>

static const long long BYTE_BITS_US = 10000000;   // ten bits, in us per bit per second

void SimWireInit(SimWireQueue *queue)
{
    queue->head = 0;
    queue->len = 0;
    queue->start_us = 0;
    queue->through = 0;
    queue->baud = 0;
}

// When the first `count` bytes of the present burst have wholly crossed the
// line, rounded up to the next microsecond.
static long long EndUs(const SimWireQueue *queue, long count)
{
    long long bits = (long long)count * BYTE_BITS_US;
    return queue->start_us + (bits + queue->baud - 1) / queue->baud;
}

int SimWireAdd(SimWireQueue *queue, const unsigned char *bytes, int len, long baud,
               long long now_us)
{
    // An idle line starts a new burst now; a busy one goes on with its own.
    if (queue->len == 0 && (queue->baud <= 0 || now_us >= EndUs(queue, queue->through))) {
        queue->start_us = now_us;
        queue->through = 0;
        queue->baud = baud;
    }
    if (queue->head > 0) {
        memmove(queue->bytes, queue->bytes + queue->head, (size_t)queue->len);
        queue->head = 0;
    }
    int fitted = len < SIM_WIRE_QUEUE_SIZE - queue->len ? len : SIM_WIRE_QUEUE_SIZE - queue->len;
    if (fitted > 0) {
        memcpy(queue->bytes + queue->len, bytes, (size_t)fitted);
        queue->len += fitted;
    }
    return fitted < 0 ? 0 : fitted;
}

static int TakeFront(SimWireQueue *queue, unsigned char *out, int count)
{
    memcpy(out, queue->bytes + queue->head, (size_t)count);
    queue->head += count;
    queue->len -= count;
    queue->through += count;
    return count;
}

int SimWireTake(SimWireQueue *queue, unsigned char *out, int size, long long now_us)
{
    if (queue->len == 0 || now_us < queue->start_us) {
        return 0;
    }
    long long elapsed = now_us - queue->start_us;
    long long due = elapsed * queue->baud / BYTE_BITS_US - queue->through;
    long long count = due < queue->len ? due : queue->len;
    if (count > size) {
        count = size;
    }
    return count > 0 ? TakeFront(queue, out, (int)count) : 0;
}

int SimWireTakeAll(SimWireQueue *queue, unsigned char *out, int size)
{
    return TakeFront(queue, out, queue->len < size ? queue->len : size);
}

long long SimWireNextUs(const SimWireQueue *queue)
{
    return queue->len > 0 ? EndUs(queue, queue->through + 1) : -1;
}

int SimWireSpace(const SimWireQueue *queue)
{
    return SIM_WIRE_QUEUE_SIZE - queue->len;
}
