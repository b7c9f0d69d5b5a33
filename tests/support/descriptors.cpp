#include "descriptors.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdint.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace descriptors {

int ConnectLoopback(int port, const char *from)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    if (from != nullptr) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        inet_pton(AF_INET, from, &local.sin_addr);
        int yes = 1;
        // The port is picked at the connect, for the whole address pair:
        // many connections of one address in TIME_WAIT leave ports for more.
        setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &yes, sizeof yes);
        if (bind(fd, (sockaddr *)&local, sizeof local) != 0) {
            close(fd);
            return -1;
        }
    }
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons((uint16_t)port);
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (port == 0 || connect(fd, (sockaddr *)&server, sizeof server) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

long CountOpenDescriptors(pid_t pid)
{
    long count = 0;
    for (const auto &entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
        (void)entry;
        count++;
    }
    return count;
}

}   // namespace descriptors
