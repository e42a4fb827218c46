// Reading the configuration database's change notifications: every row whose point fired has its
// changes read (object by object for a row with keys, in one array otherwise) and handed to its
// reader on the event loop; after a reconnection the first triggered read of a row is compared
// with what its reader holds, so that the reader sees only what changed while the connection was
// down.
#include <event2/event.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "common/plx_events.h"
#include "common/plx_log.h"
#include "platform/confd/confd_cdb.h"
#include "qconfd/qconfd_int.h"
#include "qconfd/qconfd_keypath.h"
#include "qconfd/qconfd_resync.h"

namespace {

constexpr size_t KPATH_LEN = 512;

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
    if (!qconfd_delete_priority(*st.row)) {
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
        if (qconfd_delete_priority(*row) && !delete_mode(*st)) {
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
    confd_value_t *keys = qconfd_keypath_copy_keys(kp, row->key_count, no_memory);
    if (no_memory) {
        PLX_LOG("Could not allocate memory(%s) : %s", qconfd_module_name(), path);
        st->error = CONFD_ERR;
        free_tag_values(values, count);
        return ITER_STOP;
    }
    call_reader(row, op, row->key_count, keys, chosen, path);
    qconfd_snapshot_record(row, path, op, row->key_count, keys, chosen.data(), chosen.size(),
                           qconfd_keypath_own_tag(kp));
    free_tag_values(values, count);
    qconfd_keypath_free_keys(keys, row->key_count);
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
    f.tag = qconfd_keypath_own_tag(kp);
    if (int rc = cdb_get_modifications_iter(st->ctx->sub_sock, 0, &f.values, &f.count);
        rc != CONFD_OK) {
        PLX_LOG("Failed to get modifications(%s - %d) : %s :%s (%d) : %s", qconfd_module_name(), rc,
                path, confd_strerror(confd_errno), confd_errno, confd_lasterr());
        st->error = rc;
        return ITER_STOP;
    }
    bool no_memory = false;
    f.keys = qconfd_keypath_copy_keys(kp, st->row->key_count, no_memory);
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
    const bool split = qconfd_delete_priority(*row) != 0;
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
        qconfd_keypath_free_keys(f.keys, row->key_count);
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
        if (qconfd_can_read_initial_config(ctx) && qconfd_read_sub_config_all(ctx) != QCONFD_OK)
            QCONFD_STOP("Cannot start initial read");
    } else {
        int remaining = count;
        bool lost = false;
        qconfd_for_each_row(ctx, [&](SubscriptionPoint *row) {
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
