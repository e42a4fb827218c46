#include "common/plx_shm.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

bool plx_shm_check(int fd, size_t size, bool exact, bool others_may_read, std::string &why) {
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        why = std::string("fstat: ") + std::strerror(errno);
        return false;
    }
    if (st.st_uid != geteuid() && st.st_uid != 0) {
        why = "owned by uid " + std::to_string(st.st_uid) + ", not by this user or root";
        return false;
    }
    const mode_t others = others_may_read ? (S_IWOTH | S_IXOTH) : (S_IRWXO);
    if (st.st_mode & (others | S_IWGRP)) {
        char mode[8];
        snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        why = std::string("mode ") + mode + " lets other users in";
        return false;
    }
    const auto have = static_cast<size_t>(st.st_size);
    if (exact ? have != size : have < size) {
        why = "its size is " + std::to_string(have) + " bytes, not " + std::to_string(size);
        return false;
    }
    return true;
}

int plx_shm_open_checked(const char *name, size_t size, bool *created, std::string &why) {
    *created = false;
    int fd = shm_open(name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
        if (ftruncate(fd, static_cast<off_t>(size)) != 0) {
            why = std::string("ftruncate: ") + std::strerror(errno);
            close(fd);
            shm_unlink(name);
            return -1;
        }
        *created = true;
        return fd;
    }
    if (errno != EEXIST) {
        why = std::string("shm_open: ") + std::strerror(errno);
        return -1;
    }
    fd = shm_open(name, O_RDWR | O_NOFOLLOW | O_CLOEXEC, 0);
    if (fd < 0) {
        why = std::string("shm_open: ") + std::strerror(errno);
        return -1;
    }
    // Its creator sizes it right after creating it: give it a moment.
    for (int i = 0; i < 200; ++i) {
        struct stat st {};
        if (fstat(fd, &st) != 0 || st.st_size != 0)
            break;
        usleep(10000);
    }
    if (!plx_shm_check(fd, size, true, false, why)) {
        close(fd);
        return -1;
    }
    return fd;
}
