// Creating and opening the router's shared-memory objects safely. An object is created with
// O_EXCL (this process made it, nobody else), or opened only after fstat shows that it belongs
// to this user (or root), grants nothing to other users and has the expected size: an object
// another user created first, or one truncated under us (whose mapping would end in SIGBUS),
// is refused with a message.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

// Checks an open shared object: owner euid or root, no access for others beyond reading when
// others_may_read, no write for the group, and a size of at least min_size (exactly size when
// exact). True when it passes; otherwise false with why filled.
bool plx_shm_check(int fd, size_t size, bool exact, bool others_may_read, std::string &why);

// Opens the object name read-write, creating it (mode 0600, sized to size, zero-filled) when it
// does not exist; *created tells which. An existing one is checked (plx_shm_check, exact size);
// one of size 0 is waited for briefly (its creator is about to size it). The descriptor, or -1
// with why filled.
int plx_shm_open_checked(const char *name, size_t size, bool *created, std::string &why);
