#include "common/msgq_access.h"

#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

bool msgq_router_group(gid_t *gid) {
    const char *name = std::getenv("PLX_GROUP");
    if (!name || !*name)
        return false;
    char *end = nullptr;
    unsigned long n = std::strtoul(name, &end, 10);
    if (end && *end == '\0') {
        *gid = static_cast<gid_t>(n);
        return true;
    }
    group grp{}, *found = nullptr;
    char buf[4096];
    if (getgrnam_r(name, &grp, buf, sizeof buf, &found) != 0 || !found)
        return false;
    *gid = found->gr_gid;
    return true;
}

bool msgq_socket_secure(const char *path) {
    gid_t gid = 0;
    if (msgq_router_group(&gid) && chown(path, static_cast<uid_t>(-1), gid) != 0)
        return false;
    return chmod(path, 0660) == 0;
}

bool msgq_peer_allowed(int fd, char *why, size_t why_len) {
    ucred cred{};
    socklen_t len = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
        std::snprintf(why, why_len, "no peer credentials: %s", std::strerror(errno));
        return false;
    }
    gid_t group = 0;
    if (cred.uid == 0 || cred.uid == geteuid() || (msgq_router_group(&group) && cred.gid == group))
        return true;
    std::snprintf(why, why_len, "uid %u gid %u pid %d", static_cast<unsigned>(cred.uid),
                  static_cast<unsigned>(cred.gid), static_cast<int>(cred.pid));
    return false;
}

bool msgq_link_alive(int fd) {
    if (fd < 0)
        return false;
    char b;
    ssize_t n = recv(fd, &b, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0)
        return true;
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
}
