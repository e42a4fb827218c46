#include "peers/fibd/fibd_cdb.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/plx_log.h"
#include "platform/confd/confd_cdb.h"

namespace {

constexpr const char *kPriorityPath = "/qconfd-initial-read-priority";

int lib_error(const char *what) {
    PLX_LOG("fibd: %s: %s (%d) : %s\n", what, confd_strerror(confd_errno), confd_errno,
            confd_lasterr());
    return confd_errno ? confd_errno : CONFD_ERR;
}

}  // namespace

int fibd_cdb_set_initial_read_bit(int sock, uint32_t bit) {
    if (cdb_start_session2(sock, CDB_OPERATIONAL, CDB_LOCK_SESSION | CDB_LOCK_PARTIAL) != CONFD_OK)
        return lib_error("cannot start an operational session");
    confd_value_t v{};
    uint32_t mask = 0;
    if (cdb_get(sock, &v, kPriorityPath) == CONFD_OK) {
        if (v.type != C_BIT32) {
            PLX_LOG("fibd: %s holds a value of type %d, not a 32-bit mask\n", kPriorityPath,
                    static_cast<int>(v.type));
            confd_free_value(&v);
            cdb_end_session(sock);
            return CONFD_ERR_BADTYPE;
        }
        mask = v.val.b32;
    } else if (confd_errno != CONFD_ERR_NOEXISTS) {
        int rc = lib_error("cannot read qconfd-initial-read-priority");
        cdb_end_session(sock);
        return rc;
    }
    CONFD_SET_BIT32(&v, mask | bit);
    if (cdb_set_elem(sock, &v, kPriorityPath) != CONFD_OK) {
        int rc = lib_error("cannot set qconfd-initial-read-priority");
        cdb_end_session(sock);
        return rc;
    }
    if (cdb_end_session(sock) != CONFD_OK)
        return lib_error("cannot end the operational session");
    PLX_LOG("fibd: set qconfd-initial-read-priority to %u\n", mask | bit);
    return 0;
}

FibdCdb::FibdCdb(event_base *base) : base_(base) {}

FibdCdb::~FibdCdb() {
    disconnect();
    if (retry_)
        event_free(retry_);
}

bool FibdCdb::start() {
    retry_ = evtimer_new(base_, on_retry, this);
    if (!retry_)
        return false;
    if (!connect_and_mark())
        retry_later();
    return true;
}

bool FibdCdb::connect_and_mark() {
    sock_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock_ < 0) {
        PLX_LOG("fibd: cannot open a socket: %s\n", std::strerror(errno));
        return false;
    }
    // The database's usual place; CONFD_IPC_ADDR and CONFD_IPC_PORT move it.
    if (cdb_connect(sock_, CDB_DATA_SOCKET, CONFD_LOCAL_ADDR) != CONFD_OK) {
        ::close(sock_);
        sock_ = -1;
        return false;
    }
    if (fibd_cdb_set_initial_read_bit(sock_, kInitialReadBit) != 0) {
        disconnect();
        return false;
    }
    ++times_set_;
    // Nothing is ever sent unasked on a data socket: the socket turns readable only when the
    // database closes it.
    watch_ = event_new(base_, sock_, EV_READ, on_watch, this);
    if (!watch_ || event_add(watch_, nullptr) != 0) {
        disconnect();
        return false;
    }
    PLX_LOG("fibd: connected to the configuration database\n");
    return true;
}

void FibdCdb::disconnect() {
    if (watch_) {
        event_free(watch_);
        watch_ = nullptr;
    }
    if (sock_ >= 0) {
        cdb_close(sock_);
        sock_ = -1;
    }
}

void FibdCdb::retry_later() {
    const timeval tv{kRetryMs / 1000, (kRetryMs % 1000) * 1000};
    evtimer_add(retry_, &tv);
}

void FibdCdb::on_retry(evutil_socket_t, short, void *arg) {
    auto *self = static_cast<FibdCdb *>(arg);
    if (!self->connect_and_mark())
        self->retry_later();
}

void FibdCdb::on_watch(evutil_socket_t, short, void *arg) {
    auto *self = static_cast<FibdCdb *>(arg);
    PLX_LOG("fibd: the configuration database closed the connection; retrying every %d ms\n",
            kRetryMs);
    self->disconnect();
    self->retry_later();
}
