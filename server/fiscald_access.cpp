// Which clients may send commands: an allow-list of IPv4 networks. A shop
// lists its tills' network; anything else is closed before it can send a
// byte to the controller.
#include "fiscald_access.h"
#include "wholenumber.h"

#include <arpa/inet.h>
#include <stdio.h>
#include <string.h>

static const char SEPARATORS[] = ", \t";

// One "a.b.c.d/n" or "a.b.c.d" (a /32); 0 or -1.
static int ParseNetwork(const char *text, size_t length, AccessNetwork *network)
{
    char entry[32];
    if (length == 0 || length >= sizeof entry) {
        return -1;
    }
    memcpy(entry, text, length);
    entry[length] = '\0';
    long bits = 32;
    char *slash = strchr(entry, '/');
    if (slash != nullptr) {
        *slash = '\0';
        bits = ParseWholeNumber(slash + 1, 0, 32);
        if (bits < 0) {
            return -1;
        }
    }
    struct in_addr address;
    if (inet_pton(AF_INET, entry, &address) != 1) {
        return -1;
    }
    network->mask = bits == 0 ? 0u : 0xFFFFFFFFu << (32 - bits);
    network->address = ntohl(address.s_addr) & network->mask;
    return 0;
}

int AccessAdd(AccessList *list, const char *text)
{
    AccessList added = *list;
    const char *at = text;
    for (;;) {
        at += strspn(at, SEPARATORS);
        if (*at == '\0') {
            break;
        }
        size_t length = strcspn(at, SEPARATORS);
        if (added.count == FISCALD_MAX_NETWORKS ||
            ParseNetwork(at, length, &added.networks[added.count]) != 0) {
            return -1;
        }
        added.count++;
        at += length;
    }
    *list = added;
    return 0;
}

int AccessAllows(const AccessList *list, unsigned int address)
{
    if (list->count == 0) {
        return 1;
    }
    for (int i = 0; i < list->count; i++) {
        if ((address & list->networks[i].mask) == list->networks[i].address) {
            return 1;
        }
    }
    return 0;
}

int AccessIsLoopback(const char *listen_address)
{
    struct in_addr address;
    if (inet_pton(AF_INET, listen_address, &address) != 1) {
        return 0;
    }
    return (ntohl(address.s_addr) >> 24) == 127;
}

void AccessDotted(unsigned int address, char *out, size_t size)
{
    struct in_addr network_order;
    network_order.s_addr = htonl(address);
    if (inet_ntop(AF_INET, &network_order, out, (socklen_t)size) == nullptr) {
        snprintf(out, size, "?");
    }
}
