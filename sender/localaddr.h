/* The machine's own IPv4 address and mask, looked up once per process.
 *
 *   LocalAddr(out_address, out_mask)  fills both (host byte order), 0; or -1
 *                                     when no address is configured
 *   LocalAddrText()                   the address as dotted text in the socket
 *                                     library's static buffer, or null
 *
 * Windows reads "IPAddress"/"IPMask" of the first of the first ten subkeys of
 * HKEY_LOCAL_MACHINE "System\CurrentControlSet\Services\Class\NetTrans" whose
 * address is set and not "0.0.0.0" (a missing "IPMask" gives mask 0). POSIX
 * takes the first interface that is up, not loopback, with an IPv4 address.
 * The first success is cached for the life of the process; failures are not.
 * Neither starts the socket library.
 */
#ifndef RUVADO_LOCALADDR_H
#define RUVADO_LOCALADDR_H

#ifdef __cplusplus
extern "C" {
#endif

int LocalAddr(unsigned long *out_address, unsigned long *out_mask);
char *LocalAddrText(void);

#ifdef _WIN32
/* Open handle (an HKEY) on the first NetTrans subkey with a usable
 * "IPAddress", or null. Windows only: the registry exists nowhere else. */
void *FindAdapterKey(void);
#endif

#ifdef __cplusplus
}
#endif

#endif
