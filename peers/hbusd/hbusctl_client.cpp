#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "peers/hbusd/hbusd_server.h"

std::string hbusctl_request(const std::string &socket_path, const std::string &command,
                            std::string *err) {
    sockaddr_un sun{};
    sun.sun_family = AF_UNIX;
    if (socket_path.size() >= sizeof sun.sun_path) {
        *err = socket_path + ": path too long";
        return "";
    }
    std::memcpy(sun.sun_path, socket_path.c_str(), socket_path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&sun), sizeof sun) != 0) {
        *err = socket_path + ": " + std::strerror(errno) + " (is hbusd running?)";
        if (fd >= 0)
            close(fd);
        return "";
    }
    std::string out = command + "\n";
    for (size_t sent = 0; sent < out.size();) {
        ssize_t n = send(fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            *err = socket_path + ": " + std::strerror(errno);
            close(fd);
            return "";
        }
        sent += static_cast<size_t>(n);
    }
    std::string reply;
    char buf[4096];
    for (;;) {
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        reply.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    if (reply.empty())
        *err = socket_path + ": hbusd closed the connection without a reply";
    return reply;
}
