// The local address as text, whichever way the platform found it.
#include "localaddr.h"
#include "sockapi.h"

char *LocalAddrText(void)
{
    unsigned long address = 0;
    unsigned long mask = 0;
    if (LocalAddr(&address, &mask) < 0) {
        return nullptr;
    }
    struct in_addr network;
    network.s_addr = htonl((unsigned int)address);
    return inet_ntoa(network);
}
