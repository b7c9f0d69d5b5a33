/* ruvado's TCP socket layer: IPv4 stream sockets with fixed options, waits
 * with millisecond limits, and one set of negative result codes.
 *
 *   SocketsInit()                         start the socket library once: 0 or -1
 *   TcpOpen(local_port)                   socket bound to local_port (0: any),
 *                                         -1 or TCP_ERR_INIT
 *   TcpConnect(sock, address, port)       blocking connect: 0 or -1
 *   TcpSend(sock, data, length, limit)    send's result, or TCP_ERR_TIMEOUT
 *   TcpReceive(sock, buf, size, limit)    bytes received (> 0), TCP_ERR_TIMEOUT
 *                                         or TCP_ERR_CLOSED
 *   TcpWait(sock, limit, mode)            0 ready, 1 no wait asked (limit -1),
 *                                         TCP_ERR_TIMEOUT or TCP_ERR_SELECT
 *   TcpListen(sock) / TcpAccept(...)      server side
 *   TcpClose(sock)                        the platform close's result
 *   TcpAddrText(address)                  dotted text in a static buffer
 *
 * Addresses and ports are in host byte order. Limits are milliseconds:
 * -1 means no wait at all, 0 a wait without limit.
 */
#ifndef RUVADO_TCP_H
#define RUVADO_TCP_H

#ifdef __cplusplus
extern "C" {
#endif

#define TCP_ERR_INIT    (-100) /* the socket library failed to start */
#define TCP_ERR_TIMEOUT (-101) /* the wait ran out, or failed under a send/receive/accept */
#define TCP_ERR_SELECT  (-102) /* the wait itself failed, or bad mode/limit (TcpWait only) */
#define TCP_ERR_CLOSED  (-108) /* the receive got no data: peer closed or receive failed */

#define WAIT_WRITE  1 /* until the socket can be written */
#define WAIT_READ   2 /* until it can be read */
#define WAIT_EXCEPT 3 /* until an exceptional condition */

int SocketsInit(void);
int TcpOpen(unsigned short local_port);
int TcpConnect(int sock, unsigned long address, unsigned short port);
int TcpSend(int sock, const char *data, int length, int limit_ms);
int TcpReceive(int sock, char *buffer, int size, int limit_ms);
int TcpWait(int sock, int limit_ms, int mode);
int TcpListen(int sock);
int TcpAccept(int sock, unsigned long *out_address, unsigned short *out_port, int limit_ms);
int TcpClose(int sock);
char *TcpAddrText(unsigned long address);

#ifdef __cplusplus
}
#endif

#endif
