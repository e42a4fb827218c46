// Commits: a command line's request applied to a copy of the running configuration and
// validated, journalled before anyone hears of it, and the snapshot the journal starts from.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <system_error>

#include "peers/cdbd/cdbd_internal.h"

using confd_wire::EditMode;
using confd_wire::Op;
using confd_wire::WireReader;
using confd_wire::WireSock;
using confd_wire::WireWriter;

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
            if (!next.dup_from(running_.root)) {
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
        if (!next.dup_from(running_.root))
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
    if (lyd_validate_all(&next.root, ctx, LYD_VALIDATE_NO_STATE, nullptr) != LY_SUCCESS)
        return fail(CONFD_ERR_VALIDATION, "invalid configuration: " + ly_error_text(ctx));
    return 0;
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
    // Durable before anyone hears of it: one record and one fdatasync.
    if (!journal_.write(static_cast<uint8_t>(j.cli_op), j.cli_payload, err))
        return fail(CONFD_ERR_OS, err);
    j.changes = std::move(changes);
    if (!sync_journal(j, err)) {
        j.changes.clear();
        return fail(CONFD_ERR_OS, err);
    }
    j.old_tree = std::move(running_);
    running_ = std::move(next);
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

bool CdbServer::sync_journal(Job &j, std::string &err) {
    std::future<std::string> synced;
    try {
        synced = std::async(std::launch::async, [this] {
            std::string why;
            return journal_.sync(why) ? std::string() : why;
        });
    } catch (const std::system_error &) {
        return journal_.sync(err);
    }
    // Meanwhile the notifications the commit fires are encoded (nothing is sent before the
    // record is durable).
    for (const auto &[id, s] : subs_) {
        if (synced.wait_for(std::chrono::seconds(0)) == std::future_status::ready)
            break;
        if (s.active && !s.oper && fires(j.changes, s.schema))
            j.notify.point(schema_, s.schema, j.changes);
    }
    err = synced.get();
    return err.empty();
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
