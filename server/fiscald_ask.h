/*
 * fiscald_ask - `fiscald --status` and `fiscald --forget ID`: asks a running
 * server through its control socket (controlprotocol.h) and prints the
 * answer on standard output.
 *
 *   AskServer(target, request)  target: a socket's path (it has a '/'), an
 *       instance name (ttyUSB0, or the line's name under /dev such as
 *       serial/by-id/usb-Foo-if00, escaped as the service's instance is), or
 *       null for the only server running. The exit status: 0 answered,
 *       1 no server reached or the request refused (message on stderr)
 */
#ifndef FISCALD_ASK_H
#define FISCALD_ASK_H

#ifdef __cplusplus
extern "C" {
#endif

int AskServer(const char *target, const char *request);

#ifdef __cplusplus
}
#endif

#endif
