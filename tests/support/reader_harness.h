// A stand-in for the configuration-database layer while testing the readers: it subscribes to a
// real cdbd with the configuration rows of the daemon's own subscription table (a second,
// delete-only subscription where a row has a delete priority), splits each change set between the
// two as the layer does, and calls the readers with the arguments a SubscriptionReader receives.
// After each notification it runs `done` (where a test stands in for the processing of changes).
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "acl/plx_intf_confd.h"
#include "daemon/plx_confd_module.h"
#include "daemon/plx_ctx.h"
#include "platform/confd/confd_cdb.h"
#include "platform/confd/confd_lib.h"
#include "policy/plx_confd.h"
#include "qconfd/qconfd_api.h"

namespace rh {

// Keeps what the layer's filter keeps for the add (or delete) subscription of a row; empty when
// nothing applicable is left.
inline std::vector<confd_tag_value_t> filter(const confd_tag_value_t *tv, int n, bool del) {
    std::vector<confd_tag_value_t> out;
    bool applicable = false;
    for (int i = 0; i < n; ++i) {
        auto t = tv[i].v.type;
        bool bracket = t == C_XMLBEGIN || t == C_XMLEND;
        bool keep = del ? (t == C_NOEXISTS || bracket) : t != C_NOEXISTS;
        if (!keep)
            continue;
        out.push_back(tv[i]);
        if (!bracket || (!del && t == C_XMLEND && i > 0 && tv[i - 1].v.type == C_XMLBEGIN))
            applicable = true;
    }
    if (!applicable)
        out.clear();
    return out;
}

class Harness {
  public:
    // `ctx` is the daemon context the readers reach (policy and acl set by the caller).
    explicit Harness(plx_ctx *ctx) : ctx_(ctx) {
        qctx_.spec.app_ctx = ctx;
        for (const SubscriptionPoint *row = plx_confd_subscriptions(); row->path[0]; ++row)
            if (!(row->flags & QCONFD_SUB_FLAG_OPER))
                points_.push_back(*row);
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        EXPECT_EQ(cdb_connect(fd_, CDB_SUBSCRIPTION_SOCKET, nullptr, 0), CONFD_OK)
            << confd_lasterr();
        for (SubscriptionPoint &p : points_) {
            p.owner = &qctx_;
            p.delete_point = -1;
            EXPECT_EQ(cdb_subscribe(fd_, qconfd_add_priority(p), 0, &p.add_point, "/%s", p.path),
                      CONFD_OK)
                << p.path << ": " << confd_lasterr();
            if (qconfd_delete_priority(p)) {
                EXPECT_EQ(cdb_subscribe(fd_, qconfd_delete_priority(p), 0, &p.delete_point, "/%s",
                                        p.path),
                          CONFD_OK)
                    << p.path;
            }
        }
        EXPECT_EQ(cdb_subscribe_done(fd_), CONFD_OK);
        th_ = std::thread([this] { loop(); });
    }
    ~Harness() {
        shutdown(fd_, SHUT_RDWR);
        th_.join();
        cdb_close(fd_);
    }
    // Reads the whole configuration (as the initial read does) and waits until it is in.
    void initial_read() {
        std::vector<int> ids;
        for (auto &p : points_)
            ids.push_back(p.add_point);
        int ds = socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_EQ(cdb_connect(ds, CDB_DATA_SOCKET, nullptr, 0), CONFD_OK);
        ASSERT_EQ(cdb_trigger_subscriptions(ds, ids.data(), static_cast<int>(ids.size())), CONFD_OK)
            << confd_lasterr();
        cdb_close(ds);
    }
    // The row of a subscribed path, for calling its reader directly.
    SubscriptionPoint *point(std::string_view path) {
        for (auto &p : points_)
            if (path == p.path)
                return &p;
        return nullptr;
    }
    // Reader calls that failed, as "path op rc".
    std::vector<std::string> failures() {
        std::lock_guard lk(mu_);
        return failures_;
    }
    std::function<void(plx_ctx *)> done;

  private:
    struct IterState {
        Harness *self;
        SubscriptionPoint *row;
        bool del;
    };

    void call(SubscriptionPoint *row, int op, confd_value_t *keys, uint8_t nkeys,
              confd_tag_value_t *tv, int n) {
        int rc = row->reader(row, op, nkeys, keys, static_cast<uint16_t>(n), n ? tv : nullptr);
        if (rc != 0) {
            std::lock_guard lk(mu_);
            failures_.push_back(std::string(row->path) + " op " + std::to_string(op) + " rc " +
                                std::to_string(rc));
        }
    }

    static enum cdb_iter_ret iter(confd_hkeypath_t *kp, enum cdb_iter_op op, confd_value_t *,
                                  confd_value_t *, void *state) {
        auto *st = static_cast<IterState *>(state);
        SubscriptionPoint *row = st->row;
        const bool has_del = (row->priorities >> 4) != 0;
        // Keys from the outermost list inwards.
        std::vector<confd_value_t> keys;
        for (int i = kp->len - 1; i >= 0; --i) {
            if (kp->v[i][0].type == C_XMLTAG)
                continue;
            for (int k = 0; k < MAXKEYLEN && kp->v[i][k].type != C_NOEXISTS; ++k)
                keys.push_back(kp->v[i][k]);
        }
        EXPECT_EQ(keys.size(), row->key_count) << row->path;
        if (op == MOP_DELETED) {
            if (has_del && !st->del)
                return ITER_CONTINUE;
            st->self->call(row, op, keys.data(), row->key_count, nullptr, 0);
            return ITER_CONTINUE;
        }
        confd_tag_value_t *tv = nullptr;
        int n = 0;
        if (cdb_get_modifications_iter(st->self->fd_, 0, &tv, &n) != CONFD_OK || !tv)
            return ITER_STOP;
        if (n > 0) {
            if (has_del) {
                auto kept = filter(tv, n, st->del);
                if (!kept.empty())
                    st->self->call(row, op, keys.data(), row->key_count, kept.data(),
                                   static_cast<int>(kept.size()));
            } else {
                st->self->call(row, op, keys.data(), row->key_count, tv, n);
            }
        }
        for (int i = 0; i < n; ++i)
            confd_free_value(&tv[i].v);
        free(tv);
        return ITER_CONTINUE;
    }

    void loop() {
        for (;;) {
            enum cdb_sub_notification type;
            int flags = 0, n = 0;
            int *ids = nullptr;
            if (cdb_read_subscription_socket2(fd_, &type, &flags, &ids, &n) != CONFD_OK)
                return;
            for (auto &row : points_) {
                int fired = -1;
                for (int i = n - 1; i >= 0 && fired < 0; --i)
                    if (ids[i] == row.add_point || ids[i] == row.delete_point)
                        fired = ids[i];
                if (fired < 0)
                    continue;
                const bool del = fired == row.delete_point;
                if (row.key_count > 0) {
                    IterState st{this, &row, del};
                    cdb_diff_iterate(fd_, fired, iter, 0, &st);
                } else {
                    confd_tag_value_t *tv = nullptr;
                    int cnt = 0;
                    if (cdb_get_modifications(fd_, fired, 0, &tv, &cnt, nullptr) == CONFD_OK) {
                        auto kept = filter(tv, cnt, del);
                        if (!kept.empty())
                            call(&row, MOP_MODIFIED, nullptr, 0, kept.data(),
                                 static_cast<int>(kept.size()));
                        for (int i = 0; i < cnt; ++i)
                            confd_free_value(&tv[i].v);
                        free(tv);
                    }
                }
            }
            if (done)
                done(ctx_);
            free(ids);
            cdb_sync_subscription_socket(fd_, CDB_DONE_PRIORITY);
        }
    }

    plx_ctx *ctx_;
    QconfdContext qctx_{};
    std::vector<SubscriptionPoint> points_;
    int fd_ = -1;
    std::thread th_;
    std::mutex mu_;
    std::vector<std::string> failures_;
};

}  // namespace rh
