// The read-only shared region "qconfd_shared_region": the user name and address of the
// management session that made the latest change, filled by another component of the router
// (running as the daemon's user or root) and carried by the daemon's notifications.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>

#include "common/plx_paths.h"
#include "common/plx_shm.h"
#include "qconfd/qconfd_log.h"
#include "qconfd/qconfd_util.h"

namespace {

std::atomic<const qconfd_shared_region *> region{nullptr};
std::mutex copy_mutex;
char user_copy[254];                // at most 253 characters
qconfd_shared_addr last_address{};  // the last address read from the region
bool created_here = false;          // this process created the region (and removes it)

}  // namespace

bool qconfd_setup_shm() {
    if (region.load())
        return true;
    const std::string name = plx_shm_name(QCONFD_SHM_NAME);
    // The daemon creates the region when nobody has yet (owner-writable, readable by all, zero
    // filled), so that no other user can create it first and feed notifications a user and
    // address of their choosing; a region that exists is taken only from this user or root,
    // writable by nobody else, and large enough to map.
    int made = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (made >= 0) {
        created_here = true;
        if (ftruncate(made, sizeof(qconfd_shared_region)) != 0)
            PLX_LOG("Failed to size shared memory %s with an error %d", name.c_str(), errno);
        close(made);
    }
    int fd = shm_open(name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC, 0400);
    if (fd < 0) {
        PLX_LOG("Failed to open shared memory %s with an error %d", name.c_str(), errno);
        return false;
    }
    std::string why;
    if (!plx_shm_check(fd, sizeof(qconfd_shared_region), false, true, why)) {
        PLX_LOG("Refused shared memory %s: %s", name.c_str(), why.c_str());
        close(fd);
        return false;
    }
    void *p = mmap(nullptr, sizeof(qconfd_shared_region), PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (p == MAP_FAILED) {
        PLX_LOG("Failed to map shared memory %s", name.c_str());
        return false;
    }
    region.store(static_cast<const qconfd_shared_region *>(p));
    QCONFD_DEBUG("Succesfully mapped shared memory %s", name.c_str());
    return true;
}

void qconfd_free_shm() {
    const qconfd_shared_region *p = region.exchange(nullptr);
    if (!p)
        return;
    const std::string name = plx_shm_name(QCONFD_SHM_NAME);
    std::lock_guard lock(copy_mutex);  // no reader is copying from it any more
    if (created_here) {
        shm_unlink(name.c_str());
        created_here = false;
    }
    if (munmap(const_cast<qconfd_shared_region *>(p), sizeof(qconfd_shared_region)) != 0)
        PLX_LOG("Failed to unmap shared memory %s", name.c_str());
    else
        QCONFD_DEBUG("Succesfully freed shared memory %s", name.c_str());
}

const char *qconfd_shared_user() {
    std::lock_guard lock(copy_mutex);
    const qconfd_shared_region *p = region.load();
    if (!p) {
        user_copy[0] = '\0';
        return user_copy;
    }
    // The other side may be rewriting the name: copy at most the field and end it ourselves.
    size_t n = strnlen(p->user, sizeof(user_copy) - 1);
    std::memcpy(user_copy, p->user, n);
    user_copy[n] = '\0';
    return user_copy;
}

void qconfd_shared_address(qconfd_shared_addr *out) {
    if (!out)
        return;
    std::lock_guard lock(copy_mutex);
    if (const qconfd_shared_region *p = region.load()) {
        last_address.family = p->family;
        std::memcpy(last_address.addr, p->addr, sizeof last_address.addr);
    }
    *out = last_address;
}
