// Who may use the router's daemon sockets ("/var/run/.plxd", ".hbusd", ".sysmgrd"): the
// daemon's own user, root, and the router's group when one is configured (PLX_GROUP names it).
// The socket file is mode 0660 (group-owned by that group), and every accepted peer's
// credentials (SO_PEERCRED) are checked again, since a socket file's mode is only as good as
// the folder it sits in.
#pragma once

#include <sys/types.h>

#include <cstddef>

// The router's group from PLX_GROUP (a name or a number); false when unset or unknown.
bool msgq_router_group(gid_t *gid);

// Makes the socket file at path mode 0660, group-owned by the router's group when there is
// one. True when done; otherwise false with errno set.
bool msgq_socket_secure(const char *path);

// True when the peer of the connected local socket fd may talk to this daemon. Otherwise false
// with why (e.g. "uid 1001 gid 1001 pid 4242") filled.
bool msgq_peer_allowed(int fd, char *why, size_t why_len);

// True while the connected socket fd still has a peer: nothing says end of stream or reset
// (data waiting to be read counts as alive).
bool msgq_link_alive(int fd);
