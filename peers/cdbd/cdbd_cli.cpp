// The command line's requests: show, operational reads and writes, status, start phases
// (commits are queued as jobs).
#include <cstring>
#include <sstream>

#include "peers/cdbd/cdbd_internal.h"

namespace cdbd {

namespace {

void text_tree(const lyd_node *first, int indent, std::string &out) {
    for (const lyd_node *n = first; n; n = n->next) {
        if (!n->schema || ((n->schema->nodetype & (LYS_LEAF | LYS_LEAFLIST)) && is_default(n)))
            continue;
        if (n->schema->nodetype & (LYS_LEAF | LYS_LEAFLIST)) {
            if (n->parent && n->parent->schema->nodetype == LYS_LIST && lysc_is_key(n->schema))
                continue;
            out += std::string(indent, ' ') + n->schema->name;
            const char *v = lyd_get_value(n);
            if (v && *v)
                out += std::string(" ") + (strchr(v, ' ') ? "\"" + std::string(v) + "\"" : v);
            out += "\n";
            continue;
        }
        if (n->schema->nodetype == LYS_CONTAINER && !(n->schema->flags & LYS_PRESENCE) &&
            (n->flags & LYD_DEFAULT))
            continue;
        std::string line = std::string(indent, ' ') + n->schema->name;
        if (n->schema->nodetype == LYS_LIST) {
            for (const lyd_node *k = lyd_child(n); k && k->schema && lysc_is_key(k->schema);
                 k = k->next) {
                const char *v = lyd_get_value(k);
                line += std::string(" ") + (strchr(v, ' ') ? "\"" + std::string(v) + "\"" : v);
            }
        }
        out += line + "\n";
        text_tree(lyd_child(n), indent + 2, out);
    }
}

}  // namespace

void CdbServer::set_phase(int phase) {
    phase_ = phase;
    if (phase_ < 1)
        return;
    for (uint64_t id : start_waiters_)
        if (auto it = conns_.find(id); it != conns_.end())
            reply_ok(*it->second, Op::WaitStart);
    start_waiters_.clear();
}

std::string CdbServer::status_text() const {
    std::ostringstream os;
    os << "phase: " << phase_ << "\n";
    os << "running datastore: " << running_file_ << "\n";
    os << "yang modules:";
    for (const lys_module *m : schema_.modules())
        os << " " << m->name << "(" << schema_.ns(m) << ")";
    os << "\nconnections:\n";
    for (const auto &[id, c] : conns_)
        os << "  #" << id << " " << kind_name(c->kind) << (c->name.empty() ? "" : " \"") << c->name
           << (c->name.empty() ? "" : "\"") << " " << c->peer
           << (c->session_db ? " (in session)" : "") << "\n";
    os << "subscriptions:\n";
    for (const auto &[id, s] : subs_)
        os << "  point " << id << " "
           << (s.oper ? "operational" : "priority " + std::to_string(s.prio)) << " socket #"
           << s.conn << (s.active ? "" : " (not done)") << " " << s.path << "\n";
    if (active_)
        os << "delivering: level " << active_->level + 1 << " of " << active_->levels.size()
           << ", waiting for " << active_->pending.size() << " socket(s)\n";
    os << "queued jobs: " << jobs_.size() << "\n";
    os << daemons_text();
    return os.str();
}

void CdbServer::do_cli(Conn &c, Op op, const std::vector<uint8_t> &payload) {
    WireReader r(payload.data(), payload.size());
    std::string err;
    switch (op) {
        case Op::CliEdit:
        case Op::CliSet:
        case Op::CliDelete: {
            auto job = std::make_unique<Job>();
            job->kind = Job::Commit;
            job->cli_op = op;
            job->cli_payload = payload;
            job->requester = c.id;
            enqueue(std::move(job));
            return;
        }
        case Op::CliShow: {
            std::string path;
            uint8_t format = 0, oper = 0;
            if (!r.str(path) || !r.u8(format) || !r.u8(oper))
                return reply_err(c, op, CONFD_ERR_PROTOUSAGE, "malformed show request");
            const lyd_node *tree = oper ? oper_.root : running_.root;
            DataTree sub;
            const lyd_node *print = tree;
            if (!path.empty() && path != "/") {
                ResolvedPath rp;
                if (!schema_.resolve(path, rp, err))
                    return reply_err(c, op, CONFD_ERR_BADPATH, err);
                ly_set *set = nullptr;
                if (tree && lyd_find_xpath(tree, rp.xpath.c_str(), &set) == LY_SUCCESS) {
                    for (uint32_t i = 0; i < set->count; ++i) {
                        lyd_node *dup = nullptr;
                        if (lyd_dup_single(
                                set->dnodes[i], nullptr,
                                LYD_DUP_RECURSIVE | LYD_DUP_WITH_PARENTS | LYD_DUP_WITH_FLAGS,
                                &dup) == LY_SUCCESS) {
                            while (dup->parent)
                                dup = lyd_parent(dup);
                            lyd_merge_siblings(&sub.root, dup, LYD_MERGE_DESTRUCT);
                        }
                    }
                }
                ly_set_free(set, nullptr);
                if (!sub.root)
                    return reply_err(c, op, CONFD_ERR_NOEXISTS, path + " does not exist");
                print = sub.root;
            }
            std::string out;
            if (format == 2) {
                text_tree(print, 0, out);
            } else if (print) {
                char *text = nullptr;
                lyd_print_mem(&text, print, format == 1 ? LYD_JSON : LYD_XML,
                              LYD_PRINT_WITHSIBLINGS);
                out = text ? text : "";
                free(text);
            }
            WireWriter w(op);
            w.str(out);
            return send(c, w.finish());
        }
        case Op::CliOperGet: {
            std::string path;
            if (!r.str(path))
                return reply_err(c, op, CONFD_ERR_PROTOUSAGE, "malformed request");
            ResolvedPath rp;
            if (!schema_.resolve(path, rp, err))
                return reply_err(c, op, CONFD_ERR_BADPATH, err);
            lyd_node *match = nullptr;
            if (!rp.has_all_keys || !oper_.root ||
                lyd_find_path(oper_.root, rp.xpath.c_str(), 0, &match) != LY_SUCCESS || !match)
                return reply_err(c, op, CONFD_ERR_NOEXISTS, path + " does not exist");
            std::string out;
            if (match->schema->nodetype == LYS_LEAFLIST) {
                for (const lyd_node *n = match; n && n->schema == match->schema; n = n->next)
                    out += (out.empty() ? "" : " ") + std::string(lyd_get_value(n));
            } else if (match->schema->nodetype == LYS_LEAF) {
                out = lyd_get_value(match);
            } else {
                text_tree(lyd_child(match), 0, out);
            }
            WireWriter w(op);
            w.str(out);
            return send(c, w.finish());
        }
        case Op::CliOperSet:
        case Op::CliOperDelete: {
            std::string path, value;
            if (!r.str(path) || (op == Op::CliOperSet && !r.str(value)))
                return reply_err(c, op, CONFD_ERR_PROTOUSAGE, "malformed request");
            fprintf(stderr, "cdbd: operational %s of %s by %s\n",
                    op == Op::CliOperSet ? "write" : "delete", path.c_str(),
                    conn_owner_text(c, port_).c_str());
            DataTree before;
            before.dup_from(oper_.root);
            int code = 0;
            if (op == Op::CliOperDelete) {
                code = oper_delete(path, err);
            } else {
                ResolvedPath rp;
                if (!schema_.resolve(path, rp, err))
                    code = CONFD_ERR_BADPATH;
                else if (rp.schema->nodetype & (LYS_LIST | LYS_CONTAINER))
                    code = oper_create(path, err);
                else
                    code = oper_set(path, nullptr, &value, err);
            }
            if (code != 0)
                return reply_err(c, op, code, err);
            enqueue_oper(std::move(before));
            WireWriter w(op);
            w.str("done");
            return send(c, w.finish());
        }
        case Op::CliStatus: {
            WireWriter w(op);
            w.str(status_text());
            return send(c, w.finish());
        }
        case Op::CliPhase: {
            int32_t target = -1;
            if (!r.i32(target))
                return reply_err(c, op, CONFD_ERR_PROTOUSAGE, "malformed request");
            if (target < 0)
                target = phase_ < 2 ? phase_ + 1 : 2;
            if (target > 2 || target < phase_)
                return reply_err(
                    c, op, CONFD_ERR_BADSTATE,
                    "the phase can only advance, from " + std::to_string(phase_) + " up to 2");
            set_phase(target);
            WireWriter w(op);
            w.str("phase " + std::to_string(phase_));
            return send(c, w.finish());
        }
        default:
            return reply_err(c, op, CONFD_ERR_PROTOUSAGE, "unknown request");
    }
}

}  // namespace cdbd
