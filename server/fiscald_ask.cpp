// `fiscald --status` and `fiscald --forget`: the control socket found from
// what the operator typed, one request sent, the answer printed as it came.
#include "fiscald_ask.h"
#include "controlprotocol.h"

#include <dirent.h>
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

// The server answers at once; this only ends a wait on a server that hangs.
static const int ANSWER_WAIT_MS = 10000;

// An instance name as systemd-escape --path writes it: "/" as "-", and every
// byte but letters, digits, ":", "_" and a "." not in front as \xNN.
static int EscapedInstance(const char *name, char *out, size_t size)
{
    size_t used = 0;
    while (*name == '/') {
        name++;
    }
    for (const char *at = name; *at != '\0'; at++) {
        unsigned char c = (unsigned char)*at;
        char piece[8];
        if (c == '/') {
            snprintf(piece, sizeof piece, "-");
        } else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                   c == ':' || c == '_' || (c == '.' && at != name)) {
            snprintf(piece, sizeof piece, "%c", c);
        } else {
            snprintf(piece, sizeof piece, "\\x%02x", c);
        }
        size_t length = strlen(piece);
        if (used + length >= size) {
            return -1;
        }
        memcpy(out + used, piece, length + 1);
        used += length;
    }
    return 0;
}

static int IsSocket(const char *path)
{
    struct stat seen;
    return stat(path, &seen) == 0 && S_ISSOCK(seen.st_mode);
}

// The only socket in the runtime directory: 0, or 1 with the message printed.
static int OnlySocket(char *path, size_t size)
{
    static const size_t SUFFIX_LENGTH = sizeof CONTROL_SOCKET_SUFFIX - 1;
    DIR *dir = opendir(CONTROL_RUNTIME_DIR);
    int found = 0;
    char names[512] = "";
    if (dir == nullptr) {
        fprintf(stderr, "fiscald: no se puede leer %s: %s\n", CONTROL_RUNTIME_DIR, strerror(errno));
        return 1;
    }
    for (struct dirent *entry = readdir(dir); entry != nullptr; entry = readdir(dir)) {
        size_t length = strlen(entry->d_name);
        if (length <= SUFFIX_LENGTH ||
            strcmp(entry->d_name + length - SUFFIX_LENGTH, CONTROL_SOCKET_SUFFIX) != 0) {
            continue;
        }
        found++;
        snprintf(path, size, "%s/%s", CONTROL_RUNTIME_DIR, entry->d_name);
        size_t used = strlen(names);
        snprintf(names + used, sizeof names - used, " %.*s", (int)(length - SUFFIX_LENGTH),
                 entry->d_name);
    }
    closedir(dir);
    if (found == 1) {
        return 0;
    }
    if (found == 0) {
        fprintf(stderr, "fiscald: no hay ningun servidor en marcha con socket de control en %s\n",
                CONTROL_RUNTIME_DIR);
    } else {
        fprintf(stderr, "fiscald: hay %d servidores en marcha; diga cual:%s\n", found, names);
    }
    return 1;
}

// The socket's path for what the operator named: 0, or 1 (message printed).
static int SocketFor(const char *target, char *path, size_t size)
{
    char escaped[256];
    if (target == nullptr) {
        return OnlySocket(path, size);
    }
    if (target[0] == '/' || target[0] == '.') {
        snprintf(path, size, "%s", target);
        return 0;
    }
    snprintf(path, size, "%s/%s%s", CONTROL_RUNTIME_DIR, target, CONTROL_SOCKET_SUFFIX);
    if (!IsSocket(path) && EscapedInstance(target, escaped, sizeof escaped) == 0) {
        snprintf(path, size, "%s/%s%s", CONTROL_RUNTIME_DIR, escaped, CONTROL_SOCKET_SUFFIX);
    }
    return 0;
}

static int Connected(const char *path)
{
    struct sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (strlen(path) >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    memcpy(address.sun_path, path, strlen(path) + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, (struct sockaddr *)&address, sizeof address) != 0) {
        int error = errno;
        close(fd);
        errno = error;
        fd = -1;
    }
    return fd;
}

// The answer onto standard output: 0, or 1 when it said the request failed
// or did not come whole.
static int PrintAnswer(int fd)
{
    char chunk[4096];
    int first = 1;
    int refused = 0;
    for (;;) {
        struct pollfd wanted = {fd, POLLIN, 0};
        if (poll(&wanted, 1, ANSWER_WAIT_MS) <= 0) {
            fprintf(stderr, "fiscald: el servidor no termino de responder\n");
            return 1;
        }
        ssize_t got = recv(fd, chunk, sizeof chunk, 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return got < 0 || first || refused;
        }
        if (first) {
            refused = strncmp(chunk, CONTROL_ERROR " ", sizeof CONTROL_ERROR) == 0;
            first = 0;
        }
        fwrite(chunk, 1, (size_t)got, refused ? stderr : stdout);
    }
}

int AskServer(const char *target, const char *request)
{
    char path[sizeof(((struct sockaddr_un *)nullptr)->sun_path) + 256];
    char line[CONTROL_REQUEST_MAX + 1];
    if (SocketFor(target, path, sizeof path) != 0) {
        return 1;
    }
    int fd = Connected(path);
    if (fd < 0) {
        fprintf(stderr, "fiscald: no se puede hablar con el servidor en %s: %s\n", path,
                strerror(errno));
        return 1;
    }
    int length = snprintf(line, sizeof line, "%s\n", request);
    int status = 1;
    if (length > 0 && length < (int)sizeof line &&
        send(fd, line, (size_t)length, MSG_NOSIGNAL) == (ssize_t)length) {
        status = PrintAnswer(fd);
    } else {
        fprintf(stderr, "fiscald: no se pudo mandar el pedido a %s: %s\n", path, strerror(errno));
    }
    close(fd);
    return status;
}
