/* The platform's BSD-style socket calls, for the files of the socket layer
 * and the exchange. Only the headers and two type names differ: Windows has
 * them all in Winsock 1.1's <winsock.h>, POSIX spreads them over several. */
#ifndef RUVADO_SOCKAPI_H
#define RUVADO_SOCKAPI_H

#ifdef _WIN32
#include <winsock.h>
typedef int SockLength; /* length argument of getsockname/accept */
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
typedef socklen_t SockLength;
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Closes a socket handle: closesocket on Windows, close on POSIX. */
int SocketClose(int sock);
/* One send once the socket can be written within limit_ms (TcpWait's
 * limits): send's result, or TCP_ERR_TIMEOUT when the wait failed. */
int SocketSendWhenWritable(int sock, const char *data, int length, int limit_ms);

#ifdef __cplusplus
}
#endif

#endif
