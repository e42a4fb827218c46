// Commits: a command line's request applied to a copy of the running configuration and
// validated, journalled before anyone hears of it (acknowledged once the record is durable), and
// the snapshot the journal starts from.
#include <event2/event.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <system_error>

#include "peers/cdbd/cdbd_internal.h"

namespace cdbd {

int CdbServer::build_commit(Op op, const std::vector<uint8_t> &payload, DataTree &next,
                            std::string &msg) {
    auto fail = [&](int code, const std::string &why) {
        msg = why;
        return code;
    };
    WireReader r(payload.data(), payload.size());
    std::string err;
    ly_ctx *ctx = schema_.ctx();
    if (op == Op::CliEdit) {
        uint8_t mode = 0, format = 0;
        std::string text;
        if (!r.u8(mode) || !r.u8(format) || !r.str(text))
            return fail(CONFD_ERR_PROTOUSAGE, "malformed load request");
        lyd_node *edit = nullptr;
        if (lyd_parse_data_mem(ctx, text.c_str(), format == 1 ? LYD_JSON : LYD_XML,
                               LYD_PARSE_ONLY | LYD_PARSE_STRICT | LYD_PARSE_NO_STATE, 0,
                               &edit) != LY_SUCCESS)
            return fail(CONFD_ERR_VALIDATION, "invalid configuration: " + ly_error_text(ctx));
        if (static_cast<EditMode>(mode) == EditMode::Replace) {
            next.reset(edit);
        } else {
            if (!running_copy(next)) {
                lyd_free_all(edit);
                return fail(CONFD_ERR_INTERNAL, "cannot copy the running configuration");
            }
            LY_ERR rc = lyd_merge_siblings(&next.root, edit, LYD_MERGE_DESTRUCT);
            if (rc != LY_SUCCESS)
                return fail(CONFD_ERR_VALIDATION, "cannot merge: " + ly_error_text(ctx));
        }
    } else if (op == Op::CliSet || op == Op::CliDelete) {
        std::string path, value;
        if (!r.str(path) || (op == Op::CliSet && !r.str(value)))
            return fail(CONFD_ERR_PROTOUSAGE, "malformed request");
        ResolvedPath rp;
        if (!schema_.resolve(path, rp, err))
            return fail(CONFD_ERR_BADPATH, err);
        if (!(rp.schema->flags & LYS_CONFIG_W))
            return fail(CONFD_ERR_NOT_WRITABLE,
                        path + " is operational data; use the oper commands");
        if (!rp.has_all_keys)
            return fail(CONFD_ERR_BADPATH, path + ": a list entry needs its keys");
        if (!running_copy(next))
            return fail(CONFD_ERR_INTERNAL, "cannot copy the running configuration");
        if (op == Op::CliSet) {
            const bool leafish = rp.schema->nodetype & (LYS_LEAF | LYS_LEAFLIST);
            if (leafish && value.empty() && rp.schema->nodetype == LYS_LEAF &&
                reinterpret_cast<const lysc_node_leaf *>(rp.schema)->type->basetype !=
                    LY_TYPE_EMPTY &&
                reinterpret_cast<const lysc_node_leaf *>(rp.schema)->type->basetype !=
                    LY_TYPE_STRING)
                return fail(CONFD_ERR_BADTYPE, path + " needs a value");
            if (!leafish && !value.empty())
                return fail(CONFD_ERR_BADTYPE, path + " takes no value");
            if (int code = merge_new_node(ctx, next, rp.xpath, leafish ? value.c_str() : nullptr,
                                          LYD_NEW_PATH_UPDATE, err))
                return fail(code,
                            (code == CONFD_ERR_BADTYPE ? path + ": " : "cannot merge: ") + err);
        } else {
            ly_set *set = nullptr;
            uint32_t n = 0;
            if (next.root && lyd_find_xpath(next.root, rp.xpath.c_str(), &set) == LY_SUCCESS) {
                for (uint32_t i = 0; i < set->count; ++i) {
                    lyd_node *d = set->dnodes[i];
                    if ((d->schema->nodetype & (LYS_LEAF | LYS_LEAFLIST)) && is_default(d))
                        continue;
                    if (d->schema->nodetype == LYS_CONTAINER &&
                        !(d->schema->flags & LYS_PRESENCE)) {
                        // A non-presence container always exists: empty it.
                        while (lyd_child(d)) {
                            lyd_free_tree(lyd_child(d));
                        }
                        ++n;
                        continue;
                    }
                    free_node(next, d);
                    ++n;
                }
            }
            ly_set_free(set, nullptr);
            if (n == 0)
                return fail(CONFD_ERR_NOEXISTS, path + " does not exist");
        }
    } else {
        return fail(CONFD_ERR_PROTOUSAGE, "not a commit");
    }
    // Entries the commit cannot have made invalid are not validated again (cdbd_validate.h).
    if (validator_->validate(running_.root, &next.root) != LY_SUCCESS)
        return fail(CONFD_ERR_VALIDATION, "invalid configuration: " + ly_error_text(ctx));
    return 0;
}

bool CdbServer::running_copy(DataTree &out) {
    if (spare_gen_ == running_gen_) {
        out = std::move(spare_);
        spare_gen_ = UINT64_MAX;
        return true;
    }
    spare_.reset();
    return out.dup_from(running_.root);
}

void CdbServer::prepare_running_copy() {
    static const timeval now{0, 0};
    event_base_once(
        base_, -1, EV_TIMEOUT,
        [](evutil_socket_t, short, void *arg) {
            auto *self = static_cast<CdbServer *>(arg);
            if (self->spare_gen_ != self->running_gen_ &&
                self->spare_.dup_from(self->running_.root))
                self->spare_gen_ = self->running_gen_;
        },
        this, &now);
}

bool CdbServer::prepare_commit(Job &j) {
    Conn *req = nullptr;
    if (auto it = conns_.find(j.requester); it != conns_.end())
        req = it->second.get();
    auto fail = [&](int code, const std::string &msg) {
        if (req)
            reply_err(*req, j.cli_op, code, msg);
        j.requester = 0;
        return false;
    };
    DataTree next;
    std::string err;
    if (int code = build_commit(j.cli_op, j.cli_payload, next, err))
        return fail(code, err);
    std::vector<Change> changes = diff_trees(schema_, running_.root, next.root);
    if (changes.empty()) {
        if (req) {
            WireWriter w(j.cli_op);
            w.str("no changes");
            send(*req, w.finish());
        }
        j.requester = 0;
        return false;
    }
    // A journal whose last record could not be made durable is replaced by a snapshot first.
    if (snapshot_due_) {
        if (!compact(err))
            return fail(CONFD_ERR_OS, "the datastore cannot be written: " + err);
        snapshot_due_ = false;
        fprintf(stderr, "cdbd: the datastore is written again\n");
    }
    // The record is written before anyone hears of the commit: from there it survives the end
    // of this process. Its flush to the disk runs on a helper thread while the commit is
    // delivered; the commit is acknowledged once both are done.
    if (!journal_.write(static_cast<uint8_t>(j.cli_op), j.cli_payload, err))
        return fail(CONFD_ERR_OS, err);
    start_flush(j);
    j.changes = std::move(changes);
    j.old_tree = std::move(running_);
    running_ = std::move(next);
    ++running_gen_;
    size_t count = 0;
    std::function<void(const std::vector<Change> &)> cnt = [&](const std::vector<Change> &v) {
        for (const auto &c : v) {
            if (c.schema->nodetype & (LYS_LEAF | LYS_LEAFLIST) || c.op != MOP_MODIFIED)
                ++count;
            if (c.op == MOP_MODIFIED)
                cnt(c.children);
        }
    };
    cnt(j.changes);
    j.message = "committed (" + std::to_string(count) + " change" + (count == 1 ? "" : "s") + ")";
    fprintf(stderr, "cdbd: %s by %s\n", j.message.c_str(),
            req ? conn_owner_text(*req, port_).c_str() : "a client that left");
    return true;
}

void CdbServer::start_flush(Job &j) {
    if (!flushed_ev_)
        flushed_ev_ = event_new(base_, -1, 0, on_flushed, this);
    j.flushing = true;
    auto flush = [this] {
        std::string why;
        journal_.sync(why, false);
        event_active(flushed_ev_, EV_READ, 0);
        return why;
    };
    try {
        flush_ = std::async(std::launch::async, flush);
    } catch (const std::system_error &) {
        std::promise<std::string> done;
        done.set_value(flush());
        flush_ = done.get_future();
    }
}

void CdbServer::on_flushed(evutil_socket_t, short, void *arg) {
    auto *self = static_cast<CdbServer *>(arg);
    if (!self->flush_.valid())
        return;
    const std::string err = self->flush_.get();
    if (!self->active_ || !self->active_->flushing)
        return;
    Job &j = *self->active_;
    j.flushing = false;
    if (!err.empty())
        self->flush_failed(j, err);
    if (j.delivered) {
        self->finish_job();
        self->start_next_job();
    }
}

void CdbServer::flush_failed(Job &j, const std::string &why) {
    // The subscribers have the commit (or are getting it) and the running configuration holds
    // it: it stays in effect. What the disk holds must catch up with it, so the whole
    // configuration is written as a new snapshot; until that succeeds no commit is journalled
    // on top of a record the disk may have lost.
    fprintf(stderr,
            "cdbd: ERROR: the commit's journal record did not reach the disk (%s); "
            "writing the configuration as a new snapshot\n",
            why.c_str());
    std::string err;
    if (compact(err)) {
        fprintf(stderr, "cdbd: the new snapshot holds the commit\n");
        return;
    }
    fprintf(stderr,
            "cdbd: ERROR: %s; the commit is in effect but may not survive a power loss, "
            "and commits are refused until the datastore can be written\n",
            err.c_str());
    snapshot_due_ = true;
    j.durability_error = "committed and delivered, but not stored durably: " + why + "; " + err;
}

std::string CdbServer::running_text(std::string &err) const {
    char *text = nullptr;
    if (running_.root &&
        lyd_print_mem(&text, running_.root, LYD_JSON, LYD_PRINT_WITHSIBLINGS) != LY_SUCCESS) {
        err = "cannot print the configuration: " + ly_error_text(schema_.ctx());
        return {};
    }
    std::string body = text ? text : "";
    free(text);
    return body.empty() ? "{}\n" : body;
}

bool CdbServer::compact(std::string &err) {
    std::string body = running_text(err);
    if (!err.empty())
        return false;
    // The snapshot first: until the fresh journal replaces the old one, the old journal no
    // longer matches the snapshot and is not read.
    return write_file_durably(running_file_, body, err) && journal_.reset(journal_file_, body, err);
}

}  // namespace cdbd
