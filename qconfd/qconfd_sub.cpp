// The subscription side of the configuration-database layer: the registration thread that
// subscribes every row of the module's tables, the initial-read order shared by the router's
// daemons, the trigger thread that asks for the module's first full read, and the reading of
// every change notification into calls of the rows' readers on the event loop.
#include <event2/event.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <string>
#include <system_error>
#include <thread>

#include "common/plx_events.h"
#include "common/plx_log.h"
#include "common/qrv_util.h"
#include "platform/confd/confd_cdb.h"
#include "platform/confd/confd_maapi.h"
#include "qconfd/qconfd_int.h"
#include "qconfd/qconfd_resync.h"
#include "qconfd/qconfd_trap.h"

namespace {

// Namespace of the SNMP model.
constexpr uint32_t SNMP_NS = 278916076;
constexpr size_t MAX_TRIGGER_POINTS = 128;
constexpr size_t KPATH_LEN = 512;

// Modules that read their configuration before all others, in order; their bit in the order
// leaf is 1 << position. Every other module has the position after them.
constexpr uint8_t READ_ORDER[] = {21, 5, QRV_MOD_FIBD};
constexpr unsigned LAST_POSITION = std::size(READ_ORDER);

SubscriptionPoint g_common_rows[] = {
    {nullptr, "snmp/trap/group", qconfd_config_trap_group, nullptr, SNMP_NS, -1, -1, 1,
     qconfd_priorities(1, 0), 0, 0, 0, 0},
    {nullptr, "snmp/trap/group/enable", qconfd_config_trap_group_enable, nullptr, SNMP_NS, -1, -1,
     2, qconfd_priorities(1, 0), 0, 0, 0, 0},
    {},
};

// Set while a trigger thread runs, so that the gate does not start a second one before the
// first has marked the initial read done.
std::atomic<bool> g_trigger_running{false};

std::atomic<int> g_threads{0};

// Starts a detached thread counted in g_threads; false when it cannot be started.
template <class... Args>
bool start_thread(void (*fn)(Args...), Args... args) {
    ++g_threads;
    try {
        std::thread(
            [fn](Args... a) {
                fn(a...);
                --g_threads;
            },
            args...)
            .detach();
    } catch (const std::system_error &) {
        --g_threads;
        return false;
    }
    return true;
}

// The rows of both tables, daemon's first, as one walk.
template <class Fn>
void for_each_row(QconfdContext *ctx, Fn fn) {
    for (SubscriptionPoint *table : {ctx->spec.subscriptions, g_common_rows}) {
        for (SubscriptionPoint *row = table; row && row->path[0]; ++row) {
            if (!fn(row))
                return;
        }
    }
}

uint8_t add_priority(const SubscriptionPoint *row) {
    return row->priorities & 0x0F;
}
uint8_t delete_priority(const SubscriptionPoint *row) {
    return row->priorities >> 4;
}

unsigned module_position(uint8_t module_id) {
    for (unsigned p = 0; p < LAST_POSITION; ++p) {
        if (READ_ORDER[p] == module_id)
            return p;
    }
    return LAST_POSITION;
}

uint32_t load_done(const QconfdContext *ctx) {
    return std::atomic_ref(const_cast<uint32_t &>(ctx->initial_read_done)).load();
}

void store_done(QconfdContext *ctx) {
    std::atomic_ref(ctx->initial_read_done).store(1);
}

void write_pipe(int fd, char byte) {
    if (write(fd, &byte, 1) != 1)
        PLX_LOG("Failed to write to the pipe (%s)", std::strerror(errno));
}

// An operational session on a fresh data socket; closes everything on failure. Returns the
// socket or -1.
int open_oper_session() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        PLX_LOG("Failed to open data socket");
        return -1;
    }
    if (cdb_connect(fd, CDB_DATA_SOCKET, QCONFD_ADDR) != CONFD_OK) {
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

// ---- registration thread ----

// Subscribes every row; false after logging the failing one.
bool subscribe_rows(QconfdContext *ctx, int sock, bool &any) {
    bool ok = true;
    for_each_row(ctx, [&](SubscriptionPoint *row) {
        any = true;
        row->owner = ctx;
        if (row->bulk_list && delete_priority(row))
            QCONFD_STOP("Delete priority for bulk read not yet supported");
        int rc;
        row->delete_point = -1;
        if (row->flags & QCONFD_SUB_FLAG_OPER) {
            rc = cdb_oper_subscribe(sock, static_cast<int>(row->ns), &row->add_point, "%s",
                                    row->path);
        } else {
            rc = cdb_subscribe(sock, add_priority(row), static_cast<int>(row->ns), &row->add_point,
                               "%s", row->path);
            if (rc == CONFD_OK && delete_priority(row))
                rc = cdb_subscribe(sock, delete_priority(row), static_cast<int>(row->ns),
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

    if (confd_load_schemas(QCONFD_ADDR) != CONFD_OK) {
        PLX_LOG("Failed to load schemas from confd");
        return fail();
    }
    if ((maapi = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) < 0) {
        PLX_LOG("Failed to open maapi socket");
        return fail();
    }
    if (maapi_connect(maapi, QCONFD_ADDR) != CONFD_OK) {
        PLX_LOG("Failed to do maapi_connect (%d)", confd_errno);
        return fail();
    }
    if ((data = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) < 0) {
        PLX_LOG("Failed to open data socket to reg sub (%s)", std::strerror(errno));
        return fail();
    }
    if (cdb_connect(data, CDB_DATA_SOCKET, QCONFD_ADDR) != CONFD_OK) {
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
    if (cdb_connect(sub_sock, CDB_SUBSCRIPTION_SOCKET, QCONFD_ADDR) != CONFD_OK) {
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
    const bool reconnected = load_done(ctx);
    if (reconnected)
        mark_resync(ctx);
    // Every point id is stored: the loop may read the subscription socket from now on.
    write_pipe(pipe_wr, QCONFD_PIPE_SUBSCRIBED);
    if (reconnected) {
        // The reconnection emptied the trap groups, which only the initial read would fill.
        qconfd_trap_reread(data);
        // Commits made while the connection was down, or acknowledged just before it went,
        // reach the readers only through a whole read.
        if (!trigger_resync(ctx, data))
            write_pipe(pipe_wr, QCONFD_PIPE_RETRY);
    }

    if (qconfd_can_read_initial_config(ctx) && qconfd_read_sub_config_all(ctx) != 0) {
        PLX_LOG("Initial trigger for subscriptions failed");
        write_pipe(pipe_wr, QCONFD_PIPE_RETRY);
    }
    cdb_close(data);
    close(pipe_wr);
}

// ---- trigger thread ----

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
    } else if (cdb_connect(sock, CDB_DATA_SOCKET, QCONFD_ADDR) != CONFD_OK) {
        PLX_LOG("Failed to connect init data socket to confd (%s - %d)", qconfd_module_name(),
                confd_errno);
    } else {
        ok = trigger(sock, *list, false) && trigger(sock, *list, true);
    }
    if (ok && !load_done(ctx)) {
        QCONFD_TRACE("Initial config read done");
        store_done(ctx);
        qconfd_set_initial_config_read_done(ctx);
    }
    g_trigger_running = false;
    delete list;
    if (sock >= 0)
        cdb_close(sock);
}

// ---- reading a notification ----

struct SubscriptionState {
    SubscriptionPoint *row;
    int point;      // the id that fired: the row's add point or its delete point
    int error = 0;  // why the iteration stopped, when not for a failing reader
};

bool delete_mode(const SubscriptionState &st) {
    return st.point == st.row->delete_point;
}

void free_tag_values(confd_tag_value_t *values, int count) {
    for (int i = 0; i < count; ++i)
        confd_free_value(&values[i].v);
    std::free(values);
}

// The tag of the object's own node: the innermost tag of its key path.
uint32_t own_tag(const confd_hkeypath_t *kp) {
    for (int i = 0; i < kp->len; ++i) {
        if (kp->v[i][0].type == C_XMLTAG)
            return kp->v[i][0].val.xmltag.tag;
    }
    return 0;
}

// The keys of the changed object, outermost list first. Null with *count 0 for none.
confd_value_t *collect_keys(const confd_hkeypath_t *kp, uint8_t num_keys, bool &no_memory) {
    uint8_t num_keys_found = 0;
    for (int i = kp->len - 1; i >= 0; --i) {
        if (kp->v[i][0].type == C_XMLTAG)
            continue;
        for (int j = 0; j < MAXKEYLEN && kp->v[i][j].type != C_NOEXISTS; ++j)
            ++num_keys_found;
    }
    PLX_ASSERT(num_keys == num_keys_found);
    no_memory = false;
    if (num_keys == 0)
        return nullptr;
    auto *keys = static_cast<confd_value_t *>(std::calloc(num_keys, sizeof(confd_value_t)));
    if (!keys) {
        no_memory = true;
        return nullptr;
    }
    int k = 0;
    for (int i = kp->len - 1; i >= 0; --i) {
        if (kp->v[i][0].type == C_XMLTAG)
            continue;
        for (int j = 0; j < MAXKEYLEN && kp->v[i][j].type != C_NOEXISTS; ++j)
            confd_value_dup_to(&kp->v[i][j], &keys[k++]);
    }
    return keys;
}

void free_keys(confd_value_t *keys, uint8_t count) {
    if (!keys)
        return;
    for (uint8_t i = 0; i < count; ++i)
        confd_free_value(&keys[i]);
    std::free(keys);
}

// A change the daemon could not take: the reader (or the layer) has logged why, the daemon keeps
// what it built before and goes on, and the operator learns which path was left out.
void report_not_applied(const char *path, int rc) {
    plx_log_event(LOG_ERR, "ERR", PLX_EVENT_CONFIG_NOT_APPLIED,
                  "Configuration change %s not applied (error %d); the previous state stays", path,
                  rc);
}

// Calls the row's reader and records its failure in the row. A failed object does not stop the
// iteration: the other objects of the change are applied.
bool call_reader(SubscriptionPoint *row, int op, uint8_t key_count, confd_value_t *keys,
                 std::vector<confd_tag_value_t> &values, const char *path) {
    int rc = row->reader(row, op, key_count, keys, static_cast<uint16_t>(values.size()),
                         values.empty() ? nullptr : values.data());
    if (rc == 0) {
        row->flags &= static_cast<uint8_t>(~QCONFD_SUB_FLAG_FAILED);
        return true;
    }
    row->flags |= QCONFD_SUB_FLAG_FAILED;
    PLX_LOG("Config callback failed (%s - %d) : %s", qconfd_module_name(), rc, path);
    report_not_applied(path, rc);
    return false;
}

// The applicable part of a change set, or false when nothing of it belongs to the fired point.
bool applicable(const SubscriptionState &st, confd_tag_value_t *values, int count,
                std::vector<confd_tag_value_t> &out) {
    if (!delete_priority(st.row)) {
        out.assign(values, values + count);
        return true;
    }
    out = qconfd_filter_modifications(values, count, delete_mode(st));
    return !out.empty();
}

cdb_iter_ret qconfd_sub_diff_iter(confd_hkeypath_t *kp, cdb_iter_op op, confd_value_t *,
                                  confd_value_t *, void *state) {
    auto *st = static_cast<SubscriptionState *>(state);
    SubscriptionPoint *row = st->row;
    QconfdContext *ctx = row->owner;
    char path[KPATH_LEN];
    confd_pp_kpath(path, sizeof(path), kp);
    QCONFD_TRACE("iter: Path buffer: %s, oper: %d", path, static_cast<int>(op));

    confd_tag_value_t *values = nullptr;
    int count = 0;
    std::vector<confd_tag_value_t> chosen;
    if (op == MOP_DELETED) {
        // A row with a delete priority takes its deletes at the delete level only.
        if (delete_priority(row) && !delete_mode(*st)) {
            QCONFD_TRACE("Delete suppressed in add subscription (%s)", path);
            return ITER_CONTINUE;
        }
    } else {
        if (int rc = cdb_get_modifications_iter(ctx->sub_sock, 0, &values, &count);
            rc != CONFD_OK) {
            PLX_LOG("Failed to get modifications(%s - %d) : %s :%s (%d) : %s", qconfd_module_name(),
                    rc, path, confd_strerror(confd_errno), confd_errno, confd_lasterr());
            st->error = rc;
            return ITER_STOP;
        }
        if (!values)
            return ITER_STOP;
        if (count == 0) {
            QCONFD_TRACE("Received zero modifications (%s)", path);
            std::free(values);
            return ITER_CONTINUE;
        }
        if (!applicable(*st, values, count, chosen)) {
            QCONFD_TRACE("Received zero applicable modifications (%s)", path);
            free_tag_values(values, count);
            return ITER_CONTINUE;
        }
    }

    bool no_memory = false;
    confd_value_t *keys = collect_keys(kp, row->key_count, no_memory);
    if (no_memory) {
        PLX_LOG("Could not allocate memory(%s) : %s", qconfd_module_name(), path);
        st->error = CONFD_ERR;
        free_tag_values(values, count);
        return ITER_STOP;
    }
    call_reader(row, op, row->key_count, keys, chosen, path);
    qconfd_snapshot_record(row, path, op, row->key_count, keys, chosen.data(), chosen.size(),
                           own_tag(kp));
    free_tag_values(values, count);
    free_keys(keys, row->key_count);
    return ITER_CONTINUE;
}

// A row without keys (or an operational row): its changes in one array, one reader call.
int qconfd_sub_diff_no_keys(QconfdContext *ctx, SubscriptionState &st) {
    SubscriptionPoint *row = st.row;
    confd_tag_value_t *values = nullptr;
    int count = 0;
    if (int rc = cdb_get_modifications(ctx->sub_sock, st.point, 0, &values, &count, nullptr);
        rc != CONFD_OK) {
        PLX_LOG("Failed to get modifications(%s - %d) : %s :%s (%d) : %s", qconfd_module_name(), rc,
                row->path, confd_strerror(confd_errno), confd_errno, confd_lasterr());
        return rc;
    }
    std::vector<confd_tag_value_t> chosen;
    if (count == 0) {
        QCONFD_TRACE("Received zero modifications (%s)", row->path);
    } else if (!applicable(st, values, count, chosen)) {
        QCONFD_TRACE("Received zero applicable modifications (%s)", row->path);
    } else if (row->reader) {
        call_reader(row, MOP_MODIFIED, 0, nullptr, chosen, row->path);
        qconfd_snapshot_record(row, "", MOP_MODIFIED, 0, nullptr, chosen.data(), chosen.size(), 0);
    }
    free_tag_values(values, count);
    return 0;
}

// ---- the whole read after a reconnection ----

// One object of a whole read, with what the database handed (freed by the caller).
struct FreshRead {
    std::string kpath;
    confd_value_t *keys = nullptr;
    confd_tag_value_t *values = nullptr;
    int count = 0;
    uint32_t tag = 0;
};

struct CollectState {
    QconfdContext *ctx;
    SubscriptionPoint *row;
    std::vector<FreshRead> objects;
    int error = 0;
};

cdb_iter_ret collect_iter(confd_hkeypath_t *kp, cdb_iter_op, confd_value_t *, confd_value_t *,
                          void *state) {
    auto *st = static_cast<CollectState *>(state);
    char path[KPATH_LEN];
    confd_pp_kpath(path, sizeof(path), kp);
    FreshRead f;
    f.kpath = path;
    f.tag = own_tag(kp);
    if (int rc = cdb_get_modifications_iter(st->ctx->sub_sock, 0, &f.values, &f.count);
        rc != CONFD_OK) {
        PLX_LOG("Failed to get modifications(%s - %d) : %s :%s (%d) : %s", qconfd_module_name(), rc,
                path, confd_strerror(confd_errno), confd_errno, confd_lasterr());
        st->error = rc;
        return ITER_STOP;
    }
    bool no_memory = false;
    f.keys = collect_keys(kp, st->row->key_count, no_memory);
    st->objects.push_back(f);
    if (no_memory) {
        PLX_LOG("Could not allocate memory(%s) : %s", qconfd_module_name(), path);
        st->error = CONFD_ERR;
        return ITER_STOP;
    }
    return ITER_CONTINUE;
}

// Hands one change of the whole read to the reader, at the side of the row that fired: a row
// with a delete priority takes its deletes and removed leaves at the delete point and the rest
// at its add point, as a commit delivers them.
void deliver_resync(const SubscriptionState &st, QconfdResyncChange &c) {
    SubscriptionPoint *row = st.row;
    const bool split = delete_priority(row) != 0;
    std::vector<confd_tag_value_t> chosen;
    if (c.op == MOP_DELETED) {
        if (split && !delete_mode(st))
            return;
    } else if (split) {
        if (c.op == MOP_CREATED && delete_mode(st))
            return;
        chosen = qconfd_filter_modifications(c.values.data(), static_cast<int>(c.values.size()),
                                             delete_mode(st));
        if (chosen.empty())
            return;
    } else {
        chosen = c.values;  // shallow copies: c keeps ownership
    }
    const int op = row->key_count ? c.op : MOP_MODIFIED;
    confd_value_t *keys = c.keys.empty() ? nullptr : c.keys.data();
    call_reader(row, op, row->key_count, keys, chosen,
                c.kpath.empty() ? row->path : c.kpath.c_str());
    qconfd_snapshot_record(row, c.kpath, op, row->key_count, keys, chosen.data(), chosen.size(),
                           c.own_tag);
}

// Reads the row as a whole again and hands its reader only what differs from what it was handed
// before the connection was lost.
int resync_row(QconfdContext *ctx, const SubscriptionState &st) {
    SubscriptionPoint *row = st.row;
    CollectState cs{ctx, row, {}};
    int rc = 0;
    if (row->key_count > 0) {
        rc = cdb_diff_iterate(ctx->sub_sock, st.point, collect_iter, 0, &cs);
        if (rc == CONFD_OK)
            rc = cs.error;
    } else {
        FreshRead f;
        rc = cdb_get_modifications(ctx->sub_sock, st.point, 0, &f.values, &f.count, nullptr);
        if (rc == CONFD_OK)
            cs.objects.push_back(f);
        else
            PLX_LOG("Failed to get modifications(%s - %d) : %s :%s (%d) : %s", qconfd_module_name(),
                    rc, row->path, confd_strerror(confd_errno), confd_errno, confd_lasterr());
    }
    if (rc == CONFD_OK && row->reader) {
        std::vector<QconfdFreshObject> fresh;
        for (const FreshRead &f : cs.objects)
            fresh.push_back({f.kpath, f.keys, f.values, f.count, f.tag});
        for (QconfdResyncChange &c : qconfd_resync_changes(row, fresh))
            deliver_resync(st, c);
    }
    for (FreshRead &f : cs.objects) {
        free_tag_values(f.values, f.count);
        free_keys(f.keys, row->key_count);
    }
    return rc;
}

// The id of the row's points that fired, searching from the last reported id; -1 for none.
int fired_point(const SubscriptionPoint *row, const int *points, int count) {
    for (int i = count - 1; i >= 0; --i) {
        if (points[i] == row->add_point ||
            (row->delete_point >= 0 && points[i] == row->delete_point))
            return points[i];
    }
    return -1;
}

// Reads one row's part of a notification. Returns false when the subscription socket was lost.
bool read_row(QconfdContext *ctx, SubscriptionPoint *row, int point, bool triggered) {
    row->read_started = time(nullptr);
    row->flags &= static_cast<uint8_t>(~QCONFD_SUB_FLAG_FAILED);  // a failure of this read only
    SubscriptionState st{row, point};
    QCONFD_TRACE("Received %s subscription %s", delete_mode(st) ? "DEL" : "ADD", row->path);
    const uint8_t resync_bit =
        delete_mode(st) ? QCONFD_SUB_READ_RESYNC_DEL : QCONFD_SUB_READ_RESYNC_ADD;
    const bool resync = triggered && (row->read_flags & resync_bit);
    if (triggered) {
        row->read_flags |= QCONFD_SUB_READ_TRIGGERED;
        row->flags |= QCONFD_SUB_FLAG_INITIALISED;
        // A whole read delivered as created replaces what the readers were handed before.
        if (!resync)
            qconfd_snapshot_clear_row(row);
    }
    int rc = 0;
    if (resync) {
        row->read_flags &= static_cast<uint8_t>(~resync_bit);
        rc = resync_row(ctx, st);
    } else if (row->key_count > 0 && !(row->flags & QCONFD_SUB_FLAG_OPER)) {
        if (row->reader)
            rc = cdb_diff_iterate(ctx->sub_sock, point, qconfd_sub_diff_iter, 0, &st);
        if (rc == CONFD_OK)
            rc = st.error;
    } else {
        rc = qconfd_sub_diff_no_keys(ctx, st);
    }
    // A reader that failed has logged and reported its object; a restart would read the same
    // configuration and fail the same way, so the daemon goes on with what it could apply.
    if (row->flags & QCONFD_SUB_FLAG_FAILED)
        PLX_LOG("Error iterating subscription (%s - %d)", qconfd_module_name(), rc);
    if (rc != 0 && rc != CONFD_EOF) {
        PLX_LOG("Error iterating subscription (%s: %d). Unexpected type %d", qconfd_module_name(),
                rc, confd_errno);
        report_not_applied(row->path, rc);
    }
    row->read_flags &= static_cast<uint8_t>(~QCONFD_SUB_READ_TRIGGERED);
    row->read_ended = time(nullptr);
    QCONFD_TRACE("Success %s subscription %s", delete_mode(st) ? "DEL" : "ADD", row->path);
    return rc != CONFD_EOF;
}

}  // namespace

int qconfd_running_threads() {
    return g_threads;
}

SubscriptionPoint *qconfd_common_subscriptions() {
    return g_common_rows;
}

bool qconfd_has_subscriptions(const QconfdContext *ctx) {
    bool any = false;
    for_each_row(const_cast<QconfdContext *>(ctx), [&](SubscriptionPoint *) {
        any = true;
        return false;
    });
    return any;
}

int qconfd_start_registration(QconfdContext *ctx) {
    int pipe_wr = dup(ctx->pipe_wr);
    if (pipe_wr < 0)
        return -1;
    if (!start_thread(registration_thread, ctx, pipe_wr)) {
        close(pipe_wr);
        return -1;
    }
    return 0;
}

std::vector<confd_tag_value_t> qconfd_filter_modifications(const confd_tag_value_t *values,
                                                           int count, bool delete_mode) {
    std::vector<confd_tag_value_t> out;
    bool applicable = false;
    for (int i = 0; i < count; ++i) {
        const confd_vtype type = values[i].v.type;
        const bool bracket = type == C_XMLBEGIN || type == C_XMLEND;
        const bool keep = delete_mode ? (type == C_NOEXISTS || bracket) : type != C_NOEXISTS;
        if (!keep)
            continue;
        out.push_back(values[i]);
        if (!bracket)
            applicable = true;
        // An entry created empty: its brackets are adjacent in the change set.
        else if (!delete_mode && type == C_XMLEND && i > 0 && values[i - 1].v.type == C_XMLBEGIN)
            applicable = true;
    }
    if (!applicable)
        out.clear();
    return out;
}

int qconfd_can_read_initial_config(QconfdContext *ctx) {
    if (load_done(ctx) || g_trigger_running)
        return 0;
    int fd = open_oper_session();
    if (fd < 0)
        return 0;
    confd_value_t val{};
    int rc = cdb_get(fd, &val, "%s", QCONFD_INITIAL_READ_PATH);
    if (rc != CONFD_OK)
        PLX_LOG("Failed to get qconfd-initial-read-priority %s (%d) : %s",
                confd_strerror(confd_errno), confd_errno, confd_lasterr());
    close_oper_session(fd);
    if (rc != CONFD_OK)
        return 0;
    PLX_ASSERT((&val)->type == C_BIT32);
    const uint32_t mask = CONFD_GET_BIT32(&val);
    const unsigned position = module_position(ctx->spec.module_id);
    for (unsigned p = 0; p < position; ++p) {
        if (!(mask & (1u << p))) {
            PLX_LOG("Initial config read not allowed (curr priority:%u, mod priority:%u)", mask,
                    position);
            return 0;
        }
    }
    return 1;
}

int qconfd_set_initial_config_read_done(QconfdContext *ctx) {
    const unsigned position = module_position(ctx->spec.module_id);
    if (position == LAST_POSITION)
        return 0;
    int fd = open_oper_session();
    if (fd < 0)
        return 1;
    confd_value_t curr_val{};
    if (cdb_get(fd, &curr_val, "%s", QCONFD_INITIAL_READ_PATH) != CONFD_OK) {
        PLX_LOG("Failed to get qconfd-initial-read-priority %s (%d) : %s",
                confd_strerror(confd_errno), confd_errno, confd_lasterr());
        close_oper_session(fd);
        return 1;
    }
    PLX_ASSERT((&curr_val)->type == C_BIT32);
    const uint32_t mask = CONFD_GET_BIT32(&curr_val) | (1u << position);
    CONFD_SET_BIT32(&curr_val, mask);
    if (cdb_set_elem(fd, &curr_val, "%s", QCONFD_INITIAL_READ_PATH) != CONFD_OK) {
        PLX_LOG("Failed to set qconfd-initial-read-priority %s (%d) : %s",
                confd_strerror(confd_errno), confd_errno, confd_lasterr());
        close_oper_session(fd);
        return 1;
    }
    close_oper_session(fd);
    QCONFD_TRACE("Set qconfd-initial-read-priority to %u", mask);
    return 0;
}

int qconfd_read_sub_config_all(QconfdContext *ctx) {
    // The registration thread and the event loop can both find the gate open (when the module
    // before this one finishes in between): the first to claim the read starts it, the other
    // does nothing, and nobody starts it once it is done.
    bool idle = false;
    if (!g_trigger_running.compare_exchange_strong(idle, true))
        return 0;
    if (load_done(ctx)) {
        g_trigger_running = false;
        return 0;
    }
    auto *list = new (std::nothrow) TriggerList{};
    if (!list) {
        PLX_LOG("Failed to allocate memory for subscription list");
        g_trigger_running = false;
        return 2;
    }
    list->ctx = ctx;
    for_each_row(ctx, [&](SubscriptionPoint *row) {
        list->oper[list->count] = (row->flags & QCONFD_SUB_FLAG_OPER) ? 1 : 0;
        list->points[list->count++] = row->add_point;
        return list->count < MAX_TRIGGER_POINTS;
    });
    if (list->count == 0) {
        delete list;
        g_trigger_running = false;
        return 0;
    }
    if (!start_thread(trigger_thread, list)) {
        // Still a success for the caller: the initial read then happens at the next start of
        // the daemon, and this line says why it did not happen now.
        PLX_LOG("Failed to start the initial read thread");
        g_trigger_running = false;
        delete list;
    }
    return 0;
}

void qconfd_sub_cb(evutil_socket_t, short, void *arg) {
    auto *ctx = static_cast<QconfdContext *>(arg);
    const char *name = qconfd_module_name();
    cdb_sub_notification type{};
    int flags = 0, count = 0;
    int *points = nullptr;
    int rc = cdb_read_subscription_socket2(ctx->sub_sock, &type, &flags, &points, &count);
    if (rc == CONFD_EOF) {
        PLX_LOG("Subscription socket closed");
        qconfd_retry_connect(ctx);
        return;
    }
    if (rc != CONFD_OK) {
        PLX_LOG("Failed to read ConfD subscription (%s - %d)%s (%d) : %s", name, rc,
                confd_strerror(confd_errno), confd_errno, confd_lasterr());
        return;
    }
    QCONFD_TRACE("Received %u subscriptions (type:%u, flags:%u)", static_cast<unsigned>(count),
                 static_cast<unsigned>(type), static_cast<unsigned>(flags));
    if (count < 1) {
        std::free(points);
        QCONFD_TRACE("Sync subscription from %s succeeded", name);
        return;
    }

    const bool triggered = flags & CDB_SUB_FLAG_TRIGGER;
    if (static_cast<uint32_t>(points[0]) == ctx->spec.priority_point) {
        // The order leaf changed: another module finished its initial read.
        if (qconfd_can_read_initial_config(ctx) && qconfd_read_sub_config_all(ctx) != 0)
            QCONFD_STOP("Cannot start initial read");
    } else {
        int remaining = count;
        bool lost = false;
        for_each_row(ctx, [&](SubscriptionPoint *row) {
            int point = fired_point(row, points, count);
            if (point < 0)
                return true;
            // Until its triggered read a row drops changes: that read delivers them anyway.
            if ((row->flags & QCONFD_SUB_FLAG_INITIALISED) || triggered)
                lost = !read_row(ctx, row, point, triggered);
            --remaining;
            return remaining >= 1 && !lost;
        });
        if (lost) {
            std::free(points);
            PLX_LOG("Subscription socket closed");
            qconfd_retry_connect(ctx);
            return;
        }
        if (remaining != 0)
            QCONFD_STOP("Not all subscription points (%d) read", remaining);
        if (ctx->spec.sub_done)
            ctx->spec.sub_done(ctx, flags & CDB_SUB_FLAG_TRIGGER);
    }
    if (cdb_sync_subscription_socket(ctx->sub_sock, CDB_DONE_PRIORITY) != CONFD_OK)
        PLX_LOG("Failed to sync subscription (%s - %d)", name, confd_errno);
    std::free(points);
    QCONFD_TRACE("Sync subscription from %s succeeded", name);
}
