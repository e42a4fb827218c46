// The initial read: the order in which the router's daemons read their configuration first (an
// operational leaf with one bit per daemon that others wait for), the gate that lets this module
// start, and the trigger thread that asks the database for the module's whole configuration.
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>

#include "common/plx_log.h"
#include "common/qrv_util.h"
#include "platform/confd/confd_cdb.h"
#include "qconfd/qconfd_int.h"

namespace {

constexpr size_t MAX_TRIGGER_POINTS = 128;

// Modules that read their configuration before all others, in order; their bit in the order
// leaf is 1 << position. Every other module has the position after them.
constexpr uint8_t READ_ORDER[] = {QRV_MOD_CHMGRD, QRV_MOD_IFMGRD, QRV_MOD_FIBD};
constexpr unsigned LAST_POSITION = std::size(READ_ORDER);

// Set while a trigger thread runs, so that the gate does not start a second one before the
// first has marked the initial read done.
std::atomic<bool> g_trigger_running{false};

unsigned module_position(uint8_t module_id) {
    for (unsigned p = 0; p < LAST_POSITION; ++p) {
        if (READ_ORDER[p] == module_id)
            return p;
    }
    return LAST_POSITION;
}

// An operational session on a fresh data socket; closes everything on failure. Returns the
// socket or -1.
int open_oper_session() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        PLX_LOG("Failed to open data socket");
        return -1;
    }
    if (cdb_connect(fd, CDB_DATA_SOCKET, CONFD_LOCAL_ADDR) != CONFD_OK) {
        PLX_LOG("Failed to connect data socket to confd %s (%d) : %s", confd_strerror(confd_errno),
                confd_errno, confd_lasterr());
        cdb_close(fd);
        return -1;
    }
    if (cdb_start_session2(fd, CDB_OPERATIONAL, CDB_LOCK_SESSION | CDB_LOCK_PARTIAL) != CONFD_OK) {
        PLX_LOG("Failed to start cdb session %s (%d) : %s", confd_strerror(confd_errno),
                confd_errno, confd_lasterr());
        cdb_close(fd);
        return -1;
    }
    return fd;
}

void close_oper_session(int fd) {
    cdb_end_session(fd);
    cdb_close(fd);
}

struct TriggerList {
    QconfdContext *ctx;
    int points[MAX_TRIGGER_POINTS];
    uint8_t oper[MAX_TRIGGER_POINTS];  // 1: an operational point
    unsigned count;
};

bool trigger(int sock, TriggerList &list, bool oper) {
    int points[MAX_TRIGGER_POINTS];
    int n = 0;
    for (unsigned i = 0; i < list.count; ++i) {
        if (list.oper[i] == oper)
            points[n++] = list.points[i];
    }
    if (n == 0)
        return true;
    int rc = oper ? cdb_trigger_oper_subscriptions(sock, points, n, 1)
                  : cdb_trigger_subscriptions(sock, points, n);
    if (rc != CONFD_OK) {
        PLX_LOG("Failed to trigger config subscription (%s - %d)%s (%d) : %s", qconfd_module_name(),
                rc, confd_strerror(confd_errno), confd_errno, confd_lasterr());
        return false;
    }
    if (oper)
        QCONFD_TRACE("Triggered %u oper subscriptions", static_cast<unsigned>(n));
    else
        QCONFD_TRACE("Triggered %u config subscriptions", static_cast<unsigned>(n));
    return true;
}

// Asks the database to deliver the module's whole configuration as created. The database
// answers on the subscription socket with notifications flagged as triggered, which the loop
// reads like any other.
void trigger_thread(TriggerList *list) {
    QconfdContext *ctx = list->ctx;
    int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool ok = false;
    if (sock < 0) {
        PLX_LOG("Failed to open data socket to read init config (%s)", std::strerror(errno));
    } else if (cdb_connect(sock, CDB_DATA_SOCKET, CONFD_LOCAL_ADDR) != CONFD_OK) {
        PLX_LOG("Failed to connect init data socket to confd (%s - %d)", qconfd_module_name(),
                confd_errno);
    } else {
        ok = trigger(sock, *list, false) && trigger(sock, *list, true);
    }
    if (ok)
        qconfd_initial_read_complete(ctx);
    g_trigger_running = false;
    delete list;
    if (sock >= 0)
        cdb_close(sock);
}

}  // namespace

void qconfd_initial_read_complete(QconfdContext *ctx) {
    uint32_t was = 0;
    if (!std::atomic_ref(ctx->initial_read_done).compare_exchange_strong(was, 1))
        return;
    QCONFD_TRACE("Initial config read done");
    qconfd_set_initial_config_read_done(ctx);
}

bool qconfd_can_read_initial_config(QconfdContext *ctx) {
    if (qconfd_initial_read_done(ctx) || g_trigger_running)
        return false;
    int fd = open_oper_session();
    if (fd < 0)
        return false;
    confd_value_t val{};
    int rc = cdb_get(fd, &val, "%s", QCONFD_INITIAL_READ_PATH);
    if (rc != CONFD_OK)
        PLX_LOG("Failed to get qconfd-initial-read-priority %s (%d) : %s",
                confd_strerror(confd_errno), confd_errno, confd_lasterr());
    close_oper_session(fd);
    if (rc != CONFD_OK)
        return false;
    PLX_ASSERT((&val)->type == C_BIT32);
    const uint32_t mask = CONFD_GET_BIT32(&val);
    const unsigned position = module_position(ctx->spec.module_id);
    for (unsigned p = 0; p < position; ++p) {
        if (!(mask & (1u << p))) {
            PLX_LOG("Initial config read not allowed (curr priority:%u, mod priority:%u)", mask,
                    position);
            return false;
        }
    }
    return true;
}

qconfd_result qconfd_set_initial_config_read_done(QconfdContext *ctx) {
    const unsigned position = module_position(ctx->spec.module_id);
    if (position == LAST_POSITION)
        return QCONFD_OK;
    int fd = open_oper_session();
    if (fd < 0)
        return QCONFD_FAILED;
    confd_value_t curr_val{};
    if (cdb_get(fd, &curr_val, "%s", QCONFD_INITIAL_READ_PATH) != CONFD_OK) {
        PLX_LOG("Failed to get qconfd-initial-read-priority %s (%d) : %s",
                confd_strerror(confd_errno), confd_errno, confd_lasterr());
        close_oper_session(fd);
        return QCONFD_FAILED;
    }
    PLX_ASSERT((&curr_val)->type == C_BIT32);
    const uint32_t mask = CONFD_GET_BIT32(&curr_val) | (1u << position);
    CONFD_SET_BIT32(&curr_val, mask);
    if (cdb_set_elem(fd, &curr_val, "%s", QCONFD_INITIAL_READ_PATH) != CONFD_OK) {
        PLX_LOG("Failed to set qconfd-initial-read-priority %s (%d) : %s",
                confd_strerror(confd_errno), confd_errno, confd_lasterr());
        close_oper_session(fd);
        return QCONFD_FAILED;
    }
    close_oper_session(fd);
    QCONFD_TRACE("Set qconfd-initial-read-priority to %u", mask);
    return QCONFD_OK;
}

qconfd_result qconfd_read_sub_config_all(QconfdContext *ctx) {
    // The registration thread and the event loop can both find the gate open (when the module
    // before this one finishes in between): the first to claim the read starts it, the other
    // does nothing, and nobody starts it once it is done.
    bool idle = false;
    if (!g_trigger_running.compare_exchange_strong(idle, true))
        return QCONFD_OK;
    if (qconfd_initial_read_done(ctx)) {
        g_trigger_running = false;
        return QCONFD_OK;
    }
    auto *list = new (std::nothrow) TriggerList{};
    if (!list) {
        PLX_LOG("Failed to allocate memory for subscription list");
        g_trigger_running = false;
        return QCONFD_NO_MEMORY;
    }
    list->ctx = ctx;
    qconfd_for_each_row(ctx, [&](SubscriptionPoint *row) {
        list->oper[list->count] = (row->flags & QCONFD_SUB_FLAG_OPER) ? 1 : 0;
        list->points[list->count++] = row->add_point;
        return list->count < MAX_TRIGGER_POINTS;
    });
    if (list->count == 0) {
        delete list;
        g_trigger_running = false;
        return QCONFD_OK;
    }
    if (!qconfd_start_thread([list] { trigger_thread(list); })) {
        // Still a success for the caller: the initial read then happens at the next start of
        // the daemon, and this line says why it did not happen now.
        PLX_LOG("Failed to start the initial read thread");
        g_trigger_running = false;
        delete list;
    }
    return QCONFD_OK;
}
