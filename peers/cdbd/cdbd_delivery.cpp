// Subscriptions and the job queue: commits, triggers and operational changes run one at a
// time, each delivered to its subscribers priority level by priority level.
#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>

#include <algorithm>

#include "peers/cdbd/cdbd_internal.h"

namespace cdbd {

void CdbServer::do_subscribe(Conn &c, WireReader &r) {
    uint8_t oper = 0;
    int32_t prio = 0;
    uint32_t ns = 0;
    std::string path, err;
    if (!r.u8(oper) || !r.i32(prio) || !r.u32(ns) || !r.str(path))
        return reply_err(c, Op::Subscribe, CONFD_ERR_PROTOUSAGE, "malformed subscription");
    if (!oper && prio < kMinSubscriptionPriority)
        return reply_err(c, Op::Subscribe, CONFD_ERR_PROTOUSAGE,
                         "subscription priority " + std::to_string(prio) + " is below " +
                             std::to_string(kMinSubscriptionPriority) +
                             " (reserved: nothing is told of a change before the daemons)");
    ResolvedPath rp;
    if (!schema_.resolve(path, rp, err))
        return reply_err(c, Op::Subscribe, CONFD_ERR_BADPATH, err);
    if (rp.xpath.find('[') != std::string::npos)
        return reply_err(c, Op::Subscribe, CONFD_ERR_BADPATH,
                         "subscription paths name lists without keys: " + path);
    if (ns != 0 && ns != schema_.ns(rp.schema->module))
        return reply_err(c, Op::Subscribe, CONFD_ERR_BADPATH,
                         path + " is not in namespace " + std::to_string(ns));
    size_t mine = 0;
    for (const auto &[pid, s] : subs_)
        mine += s.conn == c.id;
    if (mine >= opts_.max_subs_per_conn)
        return reply_err(c, Op::Subscribe, CONFD_ERR_PROTOUSAGE,
                         "more than " + std::to_string(opts_.max_subs_per_conn) +
                             " subscription points on one socket");
    const int id = next_point_++;
    subs_[id] = Sub{id, c.id, oper ? 0 : prio, oper != 0, c.sub_done, path, rp.schema};
    WireWriter w(Op::Subscribe);
    w.i32(id);
    send(c, w.finish());
}

void CdbServer::do_trigger(Conn &c, Op op, WireReader &r) {
    uint32_t flags = 0, n = 0;
    if (!r.u32(flags) || !r.u32(n))
        return reply_err(c, op, CONFD_ERR_PROTOUSAGE, "malformed trigger");
    auto job = std::make_unique<Job>();
    job->kind = Job::Trigger;
    job->oper_trigger = op == Op::TriggerOper;
    for (uint32_t i = 0; i < n; ++i) {
        int32_t id = 0;
        if (!r.i32(id))
            return reply_err(c, op, CONFD_ERR_PROTOUSAGE, "malformed trigger");
        auto it = subs_.find(id);
        if (it == subs_.end() || it->second.oper != job->oper_trigger)
            return reply_err(c, op, CONFD_ERR_NOEXISTS,
                             "no " + std::string(job->oper_trigger ? "operational" : "") +
                                 " subscription point " + std::to_string(id));
        job->points.push_back(id);
    }
    job->requester = c.id;
    job->reply_op = op;
    enqueue(std::move(job));
}

// ---- jobs ----
Job::~Job() {
    if (sync_timer)
        event_free(sync_timer);
}

void CdbServer::enqueue(std::unique_ptr<Job> job) {
    jobs_.push_back(std::move(job));
    start_next_job();
}

void CdbServer::start_next_job() {
    while (!active_ && !jobs_.empty()) {
        active_ = std::move(jobs_.front());
        jobs_.pop_front();
        run_active();
    }
}

// Runs the active job until it waits (for daemons or subscribers) or is finished.
void CdbServer::run_active() {
    {
        Job &j = *active_;
        std::set<int> chosen;
        switch (j.kind) {
            case Job::Commit:
                // Daemons with validation callbacks are told before and after the
                // configuration is validated.
                if (!j.validated && start_validation(j))
                    return;
                if (!j.validation_error.empty()) {
                    if (auto it = conns_.find(j.requester); it != conns_.end())
                        reply_err(*it->second, j.cli_op, CONFD_ERR_VALIDATION, j.validation_error);
                    j.requester = 0;
                    stop_validation(j);
                    finish_job();
                    return;
                }
                if (!prepare_commit(j)) {
                    stop_validation(j);
                    finish_job();
                    return;
                }
                stop_validation(j);
                precommit_ = j.old_tree.root;
                for (auto &[id, s] : subs_)
                    if (s.active && !s.oper && fires(j.changes, s.schema))
                        chosen.insert(id);
                break;
            case Job::Trigger:
                j.sub_flags = CDB_SUB_FLAG_TRIGGER;
                if (j.oper_trigger) {
                    j.sub_type = CDB_SUB_OPER;
                    j.new_tree.dup_from(oper_.root);
                }
                j.changes =
                    diff_trees(schema_, nullptr, j.oper_trigger ? j.new_tree.root : running_.root);
                for (auto &[id, s] : subs_) {
                    const bool listed =
                        j.points.empty()
                            ? s.oper == j.oper_trigger
                            : std::find(j.points.begin(), j.points.end(), id) != j.points.end();
                    // A socket still subscribing has not asked for notifications yet.
                    if (listed && s.active)
                        chosen.insert(id);
                }
                break;
            case Job::Oper:
                j.sub_type = CDB_SUB_OPER;
                j.changes = diff_trees(schema_, j.old_tree.root, j.new_tree.root);
                for (auto &[id, s] : subs_)
                    if (s.active && s.oper && fires(j.changes, s.schema))
                        chosen.insert(id);
                break;
        }
        std::map<int, std::vector<int>> by_prio;
        for (int id : chosen)
            by_prio[subs_[id].prio].push_back(id);
        j.levels.assign(by_prio.begin(), by_prio.end());
        j.level = 0;
        deliver_level();
    }
}

void CdbServer::deliver_level() {
    if (!active_)
        return;
    Job &j = *active_;
    while (j.level < j.levels.size()) {
        // Point ids of this level that still exist, grouped by socket.
        std::map<uint64_t, std::vector<int>> by_conn;
        for (int id : j.levels[j.level].second) {
            auto it = subs_.find(id);
            if (it != subs_.end() && conns_.count(it->second.conn))
                by_conn[it->second.conn].push_back(id);
        }
        for (auto &[cid, ids] : by_conn) {
            Conn &c = *conns_[cid];
            if (c.closing)
                continue;
            WireWriter w(Op::Notify);
            w.u32(static_cast<uint32_t>(j.sub_type));
            w.u32(static_cast<uint32_t>(j.sub_flags));
            w.u32(static_cast<uint32_t>(ids.size()));
            for (int id : ids)
                write_point(schema_, w, id, subs_[id].schema, j.changes, j.notify);
            const auto &frame = w.finish();
            if (frame.size() - 4 > opts_.max_frame) {
                // The client could not read it and would never synchronise.
                close_later(c, "its change notification of " + std::to_string(frame.size()) +
                                   " bytes passes the frame limit");
                continue;
            }
            send(c, frame);
            if (!c.closing)
                j.pending.insert(cid);
        }
        if (!j.pending.empty()) {
            if (opts_.sync_timeout_ms > 0) {
                if (!j.sync_timer)
                    j.sync_timer = evtimer_new(base_, on_sync_timeout, this);
                const timeval tv{opts_.sync_timeout_ms / 1000,
                                 (opts_.sync_timeout_ms % 1000) * 1000};
                evtimer_add(j.sync_timer, &tv);
            }
            return;
        }
        ++j.level;
    }
    finish_job();
    start_next_job();
}

void CdbServer::on_write(bufferevent *, void *arg) {
    auto *self = static_cast<CdbServer *>(arg);
    if (self->active_ && !self->active_->pending.empty())
        self->encode_ahead();
}

void CdbServer::encode_ahead() {
    Job &j = *active_;
    const size_t next = j.level + 1;
    if (next >= j.levels.size() || j.encoded_ahead == next)
        return;
    // Only once every subscriber of this level has all of its notification: until then the
    // loop is busy writing.
    for (uint64_t id : j.pending) {
        auto it = conns_.find(id);
        if (it != conns_.end() && it->second->bev &&
            evbuffer_get_length(bufferevent_get_output(it->second->bev)) != 0)
            return;
    }
    j.encoded_ahead = next;
    for (int id : j.levels[next].second)
        if (auto it = subs_.find(id); it != subs_.end())
            j.notify.point(schema_, it->second.schema, j.changes);
}

void CdbServer::on_sync_timeout(evutil_socket_t, short, void *arg) {
    auto *self = static_cast<CdbServer *>(arg);
    if (!self->active_)
        return;
    const std::string why = "did not synchronise a notification within " +
                            std::to_string(self->opts_.sync_timeout_ms) + " ms";
    for (uint64_t id : self->active_->pending)
        if (auto it = self->conns_.find(id); it != self->conns_.end())
            self->close_later(*it->second, why);
}

void CdbServer::on_sync(uint64_t conn_id) {
    if (!active_ || !active_->pending.erase(conn_id) || !active_->pending.empty())
        return;
    if (active_->sync_timer)
        evtimer_del(active_->sync_timer);
    ++active_->level;
    deliver_level();
}

void CdbServer::finish_job() {
    if (!active_)
        return;
    Job &j = *active_;
    if (j.flushing) {
        // Acknowledged only once its journal record is durable (on_flushed).
        j.delivered = true;
        return;
    }
    if (j.requester) {
        if (auto it = conns_.find(j.requester); it != conns_.end()) {
            if (!j.durability_error.empty()) {
                reply_err(*it->second, j.cli_op, CONFD_ERR_OS, j.durability_error);
            } else {
                WireWriter w(j.kind == Job::Commit ? j.cli_op : j.reply_op);
                if (j.kind == Job::Commit)
                    w.str(j.message);
                send(*it->second, w.finish());
            }
        }
    }
    precommit_ = nullptr;
    const bool committed = j.kind == Job::Commit && j.old_tree.root != nullptr;
    active_.reset();
    // Once acknowledged: a journal grown large is folded into a new snapshot, so that a
    // start never replays more than that.
    if (committed && journal_.wants_compaction()) {
        std::string err;
        if (!compact(err))
            fprintf(stderr, "cdbd: the journal stays as it is: %s\n", err.c_str());
    }
    // The next commit edits a copy of the running tree: made now, off that commit's path.
    if (committed)
        prepare_running_copy();
}

}  // namespace cdbd
