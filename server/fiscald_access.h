/*
 * fiscald_access - the allow-list of client networks (-a).
 *
 *   AccessAdd(list, text)        "a.b.c.d/n" or "a.b.c.d", several separated
 *                                by commas or blanks; an empty text adds
 *                                nothing. 0, or -1 (list unchanged) for a bad
 *                                entry or a full list
 *   AccessAllows(list, address)  1 when the address (host order) may connect
 *   AccessIsLoopback(address)    1 when a dotted listen address is loopback
 *   AccessDotted(address, out, size)  an address (host order) as dotted text
 */
#ifndef FISCALD_ACCESS_H
#define FISCALD_ACCESS_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define FISCALD_MAX_NETWORKS 64 /* entries of the allow-list */

typedef struct AccessNetwork {
    unsigned int address; /* host order, already masked */
    unsigned int mask;    /* host order */
} AccessNetwork;

typedef struct AccessList {
    int count; /* 0: every client is allowed */
    AccessNetwork networks[FISCALD_MAX_NETWORKS];
} AccessList;

int AccessAdd(AccessList *list, const char *text);
int AccessAllows(const AccessList *list, unsigned int address);
int AccessIsLoopback(const char *listen_address);
void AccessDotted(unsigned int address, char *out, size_t size);

#ifdef __cplusplus
}
#endif

#endif
