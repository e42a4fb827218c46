// Registration with the configuration database: the registration thread that connects, waits
// for the database to start and subscribes every row of the module's tables (the daemon's own
// and the layer's common rows), then asks for the initial read or, after a reconnection, for the
// whole read that brings the readers up to date.
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <thread>
#include <vector>

#include "common/plx_log.h"
#include "platform/confd/confd_cdb.h"
#include "platform/confd/confd_maapi.h"
#include "qconfd/qconfd_int.h"
#include "qconfd/qconfd_trap.h"

namespace {

// Namespace of the SNMP model.
constexpr uint32_t SNMP_NS = 278916076;

// The trap groups are read at the first level; their deletes arrive at it too.
constexpr uint8_t TRAP_GROUP_LEVEL = 1;
constexpr uint8_t NO_DELETE_LEVEL = 0;

// clang-format off
SubscriptionPoint g_common_rows[] = {
    {.path = "snmp/trap/group",        .reader = qconfd_config_trap_group,        .ns = SNMP_NS, .add_point = -1, .delete_point = -1, .key_count = 1, .priorities = qconfd_priorities(TRAP_GROUP_LEVEL, NO_DELETE_LEVEL)},
    {.path = "snmp/trap/group/enable", .reader = qconfd_config_trap_group_enable, .ns = SNMP_NS, .add_point = -1, .delete_point = -1, .key_count = 2, .priorities = qconfd_priorities(TRAP_GROUP_LEVEL, NO_DELETE_LEVEL)},
    {},
};
// clang-format on

std::atomic<int> g_threads{0};

void write_pipe(int fd, char byte) {
    if (write(fd, &byte, 1) != 1)
        PLX_LOG("Failed to write to the pipe (%s)", std::strerror(errno));
}

// Subscribes every row; false after logging the failing one.
bool subscribe_rows(QconfdContext *ctx, int sock, bool &any) {
    bool ok = true;
    qconfd_for_each_row(ctx, [&](SubscriptionPoint *row) {
        any = true;
        row->owner = ctx;
        if (row->bulk_list && qconfd_delete_priority(*row))
            QCONFD_STOP("Delete priority for bulk read not yet supported");
        int rc;
        row->delete_point = -1;
        if (row->flags & QCONFD_SUB_FLAG_OPER) {
            rc = cdb_oper_subscribe(sock, static_cast<int>(row->ns), &row->add_point, "%s",
                                    row->path);
        } else {
            rc = cdb_subscribe(sock, qconfd_add_priority(*row), static_cast<int>(row->ns),
                               &row->add_point, "%s", row->path);
            if (rc == CONFD_OK && qconfd_delete_priority(*row))
                rc = cdb_subscribe(sock, qconfd_delete_priority(*row), static_cast<int>(row->ns),
                                   &row->delete_point, "%s", row->path);
        }
        if (rc != CONFD_OK) {
            PLX_LOG("Failed to subscribe to %s (%s - %d)%s (%d) : %s", row->path,
                    qconfd_module_name(), rc, confd_strerror(confd_errno), confd_errno,
                    confd_lasterr());
            ok = false;
        }
        return ok;
    });
    return ok;
}

// The daemon's configuration rows (operational rows hold nothing a commit changes).
template <class Fn>
void for_each_config_row(QconfdContext *ctx, Fn fn) {
    for (SubscriptionPoint *row = ctx->spec.subscriptions; row && row->path[0]; ++row) {
        if (!(row->flags & QCONFD_SUB_FLAG_OPER) && row->add_point >= 0)
            fn(row);
    }
}

void mark_resync(QconfdContext *ctx) {
    for_each_config_row(ctx, [](SubscriptionPoint *row) {
        row->read_flags |= QCONFD_SUB_READ_RESYNC_ADD;
        if (row->delete_point >= 0)
            row->read_flags |= QCONFD_SUB_READ_RESYNC_DEL;
    });
}

// True when the readers were handed a whole read, or a part of one, before the connection was
// lost. The initial read's thread may have lost the connection before the database answered it,
// leaving the initial read not done although the readers hold what it delivered: the next read
// must then be compared with what they hold, or objects deleted meanwhile would stay.
bool readers_hold_config(QconfdContext *ctx) {
    bool any = qconfd_initial_read_done(ctx);
    qconfd_for_each_row(ctx, [&](SubscriptionPoint *row) {
        any = any || (row->flags & QCONFD_SUB_FLAG_INITIALISED);
        return !any;
    });
    return any;
}

// Asks for the whole configuration of the daemon's rows at both their points; the loop compares
// it with what the readers hold. False when the database refused.
bool trigger_resync(QconfdContext *ctx, int data_sock) {
    std::vector<int> points;
    for_each_config_row(ctx, [&](SubscriptionPoint *row) {
        points.push_back(row->add_point);
        if (row->delete_point >= 0)
            points.push_back(row->delete_point);
    });
    if (points.empty())
        return true;
    if (cdb_trigger_subscriptions(data_sock, points.data(), static_cast<int>(points.size())) !=
        CONFD_OK) {
        PLX_LOG("Failed to read the configuration again (%s) %s (%d) : %s", qconfd_module_name(),
                confd_strerror(confd_errno), confd_errno, confd_lasterr());
        return false;
    }
    QCONFD_TRACE("Configuration read again after the reconnection");
    return true;
}

// The operational rows' first read, which only the initial read makes: asked for after a
// reconnection that cut the initial read short. False when the database refused.
bool trigger_oper_rows(QconfdContext *ctx, int data_sock) {
    std::vector<int> points;
    qconfd_for_each_row(ctx, [&](SubscriptionPoint *row) {
        if ((row->flags & QCONFD_SUB_FLAG_OPER) && row->add_point >= 0)
            points.push_back(row->add_point);
        return true;
    });
    if (points.empty() ||
        cdb_trigger_oper_subscriptions(data_sock, points.data(), static_cast<int>(points.size()),
                                       1) == CONFD_OK)
        return true;
    PLX_LOG("Failed to read the operational rows (%s) %s (%d) : %s", qconfd_module_name(),
            confd_strerror(confd_errno), confd_errno, confd_lasterr());
    return false;
}

// Connects, waits for the database to start, subscribes and asks for the initial read when
// the modules before this one are done. Reports failures through the pipe; never retries.
void registration_thread(QconfdContext *ctx, int pipe_wr) {
    const char *name = qconfd_module_name();
    const int sub_sock = ctx->sub_sock;
    int maapi = -1, data = -1;
    auto fail = [&] {
        if (maapi >= 0)
            maapi_close(maapi);
        if (data >= 0)
            cdb_close(data);
        write_pipe(pipe_wr, QCONFD_PIPE_RETRY);
        close(pipe_wr);
    };

    if (confd_load_schemas(CONFD_LOCAL_ADDR) != CONFD_OK) {
        PLX_LOG("Failed to load schemas from confd");
        return fail();
    }
    if ((maapi = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) < 0) {
        PLX_LOG("Failed to open maapi socket");
        return fail();
    }
    if (maapi_connect(maapi, CONFD_LOCAL_ADDR) != CONFD_OK) {
        PLX_LOG("Failed to do maapi_connect (%d)", confd_errno);
        return fail();
    }
    if ((data = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) < 0) {
        PLX_LOG("Failed to open data socket to reg sub (%s)", std::strerror(errno));
        return fail();
    }
    if (cdb_connect(data, CDB_DATA_SOCKET, CONFD_LOCAL_ADDR) != CONFD_OK) {
        PLX_LOG("Failed to connect init data socket to confd (%s - %d)", name, confd_errno);
        return fail();
    }
    QCONFD_TRACE("Waiting for confd phase 1");
    if (int rc = cdb_wait_start(data); rc != CONFD_OK) {
        PLX_LOG("CDB Wait start failed (%s - %d) %s (%d) : %s", name, rc,
                confd_strerror(confd_errno), confd_errno, confd_lasterr());
        return fail();
    }
    QCONFD_TRACE("Confd in phase 1 - Subscribing");
    if (int rc = maapi_install_crypto_keys(maapi); rc != CONFD_OK) {
        PLX_LOG("Failed to load crypto keys ( %d) - %s, %d, %s", rc, confd_strerror(confd_errno),
                confd_errno, confd_lasterr());
        return fail();
    }
    maapi_close(maapi);
    maapi = -1;

    QCONFD_TRACE("Confd in phase 1 - Subscribing to cdb");
    if (cdb_connect(sub_sock, CDB_SUBSCRIPTION_SOCKET, CONFD_LOCAL_ADDR) != CONFD_OK) {
        PLX_LOG("Failed to connect subscription socket to confd ( %d)", confd_errno);
        return fail();
    }
    int prio_point = -1;
    if (int rc = cdb_oper_subscribe(sub_sock, static_cast<int>(QCONFD_NS), &prio_point, "%s",
                                    QCONFD_INITIAL_READ_PATH + 1);
        rc != CONFD_OK) {
        PLX_LOG("Failed to subscribe to qconfd-initial-read-priority (%s - %d) %s (%d) : %s", name,
                rc, confd_strerror(confd_errno), confd_errno, confd_lasterr());
        return fail();
    }
    ctx->spec.priority_point = static_cast<uint32_t>(prio_point);

    bool any = false;
    if (!subscribe_rows(ctx, sub_sock, any))
        return fail();
    QCONFD_TRACE("Subscribed to confd");
    if (!any) {
        PLX_LOG("No subscriptions to register");
        cdb_close(data);
        close(pipe_wr);
        return;
    }
    if (int rc = cdb_subscribe_done(sub_sock); rc != CONFD_OK) {
        PLX_LOG("cdb_subscribe_done() failed (%s - %d)%s (%d) : %s", name, rc,
                confd_strerror(confd_errno), confd_errno, confd_lasterr());
        return fail();
    }
    // After a reconnection the rows' next triggered reads are compared with what the readers
    // hold; the flags are set before the loop reads the socket.
    const bool reconnected = readers_hold_config(ctx);
    const bool read_done = qconfd_initial_read_done(ctx);
    if (reconnected)
        mark_resync(ctx);
    // Every point id is stored: the loop may read the subscription socket from now on.
    write_pipe(pipe_wr, QCONFD_PIPE_SUBSCRIBED);
    if (reconnected) {
        // The reconnection emptied the trap groups, which only the initial read would fill.
        qconfd_trap_reread(data);
        // Commits made while the connection was down, or acknowledged just before it went,
        // reach the readers only through a whole read.
        if (!trigger_resync(ctx, data) || (!read_done && !trigger_oper_rows(ctx, data)))
            write_pipe(pipe_wr, QCONFD_PIPE_RETRY);
        else
            qconfd_initial_read_complete(ctx);
    }

    if (qconfd_can_read_initial_config(ctx) && qconfd_read_sub_config_all(ctx) != QCONFD_OK) {
        PLX_LOG("Initial trigger for subscriptions failed");
        write_pipe(pipe_wr, QCONFD_PIPE_RETRY);
    }
    cdb_close(data);
    close(pipe_wr);
}

}  // namespace

bool qconfd_start_thread(std::function<void()> fn) {
    ++g_threads;
    try {
        std::thread([fn = std::move(fn)] {
            fn();
            --g_threads;
        }).detach();
    } catch (const std::system_error &) {
        --g_threads;
        return false;
    }
    return true;
}

int qconfd_running_threads() {
    return g_threads;
}

SubscriptionPoint *qconfd_common_subscriptions() {
    return g_common_rows;
}

bool qconfd_has_subscriptions(const QconfdContext *ctx) {
    bool any = false;
    qconfd_for_each_row(const_cast<QconfdContext *>(ctx), [&](SubscriptionPoint *) {
        any = true;
        return false;
    });
    return any;
}

bool qconfd_start_registration(QconfdContext *ctx) {
    int pipe_wr = dup(ctx->pipe_wr);
    if (pipe_wr < 0)
        return false;
    if (!qconfd_start_thread([ctx, pipe_wr] { registration_thread(ctx, pipe_wr); })) {
        close(pipe_wr);
        return false;
    }
    return true;
}
