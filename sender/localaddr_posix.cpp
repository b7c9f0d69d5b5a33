// The local address on POSIX: there is no registry, so the interfaces are
// asked directly.
#include "localaddr.h"
#include "sockapi.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <stddef.h>

static unsigned long CachedAddress = 0;   // 0: no lookup has succeeded yet
static unsigned long CachedMask = 0;

int LocalAddr(unsigned long *out_address, unsigned long *out_mask)
{
    if (CachedAddress == 0) {
        struct ifaddrs *interfaces = nullptr;
        if (getifaddrs(&interfaces) != 0) {
            return -1;
        }
        for (struct ifaddrs *one = interfaces; one != nullptr && CachedAddress == 0;
             one = one->ifa_next) {
            if (one->ifa_addr == nullptr || one->ifa_addr->sa_family != AF_INET) {
                continue;
            }
            if ((one->ifa_flags & IFF_UP) == 0 || (one->ifa_flags & IFF_LOOPBACK) != 0) {
                continue;
            }
            CachedAddress = ntohl(((struct sockaddr_in *)one->ifa_addr)->sin_addr.s_addr);
            CachedMask = one->ifa_netmask == nullptr
                             ? 0
                             : ntohl(((struct sockaddr_in *)one->ifa_netmask)->sin_addr.s_addr);
        }
        freeifaddrs(interfaces);
        if (CachedAddress == 0) {
            return -1;
        }
    }
    *out_address = CachedAddress;
    *out_mask = CachedMask;
    return 0;
}
