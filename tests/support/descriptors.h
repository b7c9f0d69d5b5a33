// Descriptors for tests: a loopback TCP client, and how many descriptors a
// process holds open.
//
//   ConnectLoopback(port, from)   a TCP client connected to 127.0.0.1:port
//   CountOpenDescriptors(pid)     the descriptors open in pid now
#pragma once

#include <sys/types.h>

namespace descriptors {

// from: the local address to connect from (another till is another address
// of the loopback network, such as 127.0.0.2); nullptr lets the kernel pick.
// The connected socket, or -1 when it could not be made, bound or connected
// (port 0: no server yet).
int ConnectLoopback(int port, const char *from = nullptr);

// The entries of /proc/PID/fd; for the calling process, the one this count
// opens to read them is among them.
long CountOpenDescriptors(pid_t pid);

}   // namespace descriptors
