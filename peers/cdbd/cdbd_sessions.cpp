// Data sockets: sessions on a datastore, reads of configuration and operational data, and
// operational writes (queued as a change for the operational subscribers).
#include "peers/cdbd/cdbd_internal.h"

namespace cdbd {

namespace {

// Operational writes leave configuration alone: CONFD_ERR_NOT_WRITABLE (err says why) or 0.
int config_refused(const ResolvedPath &rp, const std::string &path, std::string &err) {
    if (!(rp.schema->flags & LYS_CONFIG_W))
        return 0;
    err = path + " is configuration; only operational data can be written here";
    return CONFD_ERR_NOT_WRITABLE;
}

}  // namespace

const lyd_node *CdbServer::tree_for(int db) const {
    switch (db) {
        case CDB_OPERATIONAL:
            return oper_.root;
        case CDB_PRE_COMMIT_RUNNING:
            return precommit_ ? precommit_ : running_.root;
        default:
            return running_.root;
    }
}

void CdbServer::do_session(Conn &c, Op op, WireReader &r) {
    if (op == Op::StartSession) {
        uint32_t db = 0, flags = 0;
        if (!r.u32(db) || !r.u32(flags) || db < CDB_RUNNING || db > CDB_PRE_COMMIT_RUNNING)
            return reply_err(c, op, CONFD_ERR_PROTOUSAGE, "bad datastore");
        if (c.session_db)
            return reply_err(c, op, CONFD_ERR_LOCKED, "a session is already open on this socket");
        c.session_db = static_cast<int>(db);
        return reply_ok(c, op);
    }
    if (!c.session_db)
        return reply_err(c, op, CONFD_ERR_NOSESSION, "no session is open on this socket");
    end_session(c);
    reply_ok(c, op);
}

void CdbServer::end_session(Conn &c) {
    if (c.wrote)
        enqueue_oper(std::move(c.oper_before));
    c.wrote = false;
    c.oper_before.reset();
    c.session_db = 0;
}

void CdbServer::do_read(Conn &c, Op op, WireReader &r) {
    std::string path, err;
    if (!r.str(path))
        return reply_err(c, op, CONFD_ERR_PROTOUSAGE, "missing path");
    if (!c.session_db)
        return reply_err(c, op, CONFD_ERR_NOSESSION, "no session is open on this socket");
    ResolvedPath rp;
    if (!schema_.resolve(path, rp, err))
        return reply_err(c, op, CONFD_ERR_BADPATH, err);
    const lyd_node *tree = tree_for(c.session_db);
    if (op == Op::NumInstances) {
        if (rp.schema->nodetype != LYS_LIST)
            return reply_err(c, op, CONFD_ERR_BADPATH, path + " is not a list");
        uint32_t count = 0;
        ly_set *set = nullptr;
        if (tree && lyd_find_xpath(tree, rp.xpath.c_str(), &set) == LY_SUCCESS)
            count = set->count;
        ly_set_free(set, nullptr);
        WireWriter w(op);
        w.u32(count);
        return send(c, w.finish());
    }
    lyd_node *match = nullptr;
    const bool found = rp.has_all_keys && tree &&
                       lyd_find_path(tree, rp.xpath.c_str(), 0, &match) == LY_SUCCESS && match;
    if (op == Op::Exists) {
        WireWriter w(op);
        w.u8(found && !((match->schema->nodetype & (LYS_LEAF | LYS_LEAFLIST)) &&
                        is_default(match) && c.session_db == CDB_OPERATIONAL));
        return send(c, w.finish());
    }
    if (!rp.has_all_keys)
        return reply_err(c, op, CONFD_ERR_BADPATH, path + ": a list entry needs its keys");
    if (!found)
        return reply_err(c, op, CONFD_ERR_NOEXISTS, path + " does not exist");
    confd_value_t v{};
    std::string text;
    if (match->schema->nodetype & (LYS_LEAF | LYS_LEAFLIST)) {
        if (!schema_.to_value(match, v))
            return reply_err(c, op, CONFD_ERR_INTERNAL, "cannot convert the value of " + path);
        text = lyd_get_value(match);
    } else {
        CONFD_SET_XMLTAG(&v, schema_.tag(match->schema), schema_.ns(match->schema->module));
    }
    WireWriter w(op);
    w.value(v);
    w.str(text);
    confd_free_value(&v);
    send(c, w.finish());
}

int CdbServer::oper_set(const std::string &path, const confd_value_t *v, const std::string *text,
                        std::string &err) {
    ResolvedPath rp;
    if (!schema_.resolve(path, rp, err))
        return CONFD_ERR_BADPATH;
    if (!(rp.schema->nodetype & (LYS_LEAF | LYS_LEAFLIST))) {
        err = path + " is not a leaf";
        return CONFD_ERR_BADPATH;
    }
    if (int code = config_refused(rp, path, err))
        return code;
    if (!rp.has_all_keys) {
        err = path + ": a list entry needs its keys";
        return CONFD_ERR_BADPATH;
    }
    std::vector<std::string> texts;
    if (text) {
        texts.push_back(*text);
    } else if (v->type == C_LIST) {
        for (unsigned i = 0; i < v->val.list.size; ++i) {
            std::string t;
            if (!schema_.to_text(rp.schema, v->val.list.ptr[i], t, err))
                return CONFD_ERR_BADTYPE;
            texts.push_back(t);
        }
    } else {
        std::string t;
        if (!schema_.to_text(rp.schema, *v, t, err))
            return CONFD_ERR_BADTYPE;
        texts.push_back(t);
    }
    if (rp.schema->nodetype == LYS_LEAFLIST)
        free_matches(oper_, rp.xpath);  // a leaf-list is replaced as a whole
    for (const auto &t : texts)
        if (int code =
                merge_new_node(schema_.ctx(), oper_, rp.xpath, t.c_str(), LYD_NEW_PATH_UPDATE, err))
            return code;
    return 0;
}

int CdbServer::oper_create(const std::string &path, std::string &err) {
    ResolvedPath rp;
    if (!schema_.resolve(path, rp, err))
        return CONFD_ERR_BADPATH;
    if (int code = config_refused(rp, path, err))
        return code;
    if (!(rp.schema->nodetype & (LYS_LIST | LYS_CONTAINER)) || !rp.has_all_keys) {
        err = path + " is not a list entry or container";
        return CONFD_ERR_BADPATH;
    }
    lyd_node *match = nullptr;
    if (oper_.root && lyd_find_path(oper_.root, rp.xpath.c_str(), 0, &match) == LY_SUCCESS &&
        match) {
        err = path + " exists already";
        return CONFD_ERR_ALREADY_EXISTS;
    }
    return merge_new_node(schema_.ctx(), oper_, rp.xpath, nullptr, 0, err);
}

int CdbServer::oper_delete(const std::string &path, std::string &err) {
    ResolvedPath rp;
    if (!schema_.resolve(path, rp, err))
        return CONFD_ERR_BADPATH;
    if (int code = config_refused(rp, path, err))
        return code;
    if (!rp.has_all_keys || free_matches(oper_, rp.xpath) == 0) {
        err = path + " does not exist";
        return CONFD_ERR_NOEXISTS;
    }
    return 0;
}

void CdbServer::do_oper_write(Conn &c, Op op, WireReader &r) {
    confd_value_t v{};
    std::string path, err;
    if (op == Op::SetElem && !r.value(v))
        return reply_err(c, op, CONFD_ERR_BADTYPE, "malformed value");
    if (!r.str(path)) {
        confd_free_value(&v);
        return reply_err(c, op, CONFD_ERR_PROTOUSAGE, "missing path");
    }
    if (c.session_db != CDB_OPERATIONAL) {
        confd_free_value(&v);
        return reply_err(c, op, c.session_db ? CONFD_ERR_NOT_WRITABLE : CONFD_ERR_NOSESSION,
                         c.session_db ? "only an operational session may write"
                                      : "no session is open on this socket");
    }
    DataTree before;
    if (!c.wrote)
        before.dup_from(oper_.root);
    int code = op == Op::SetElem  ? oper_set(path, &v, nullptr, err)
               : op == Op::Create ? oper_create(path, err)
                                  : oper_delete(path, err);
    confd_free_value(&v);
    if (code != 0)
        return reply_err(c, op, code, err);
    if (!c.wrote) {
        c.oper_before = std::move(before);
        c.wrote = true;
    }
    reply_ok(c, op);
}

void CdbServer::enqueue_oper(DataTree before) {
    auto job = std::make_unique<Job>();
    job->kind = Job::Oper;
    job->old_tree = std::move(before);
    job->new_tree.dup_from(oper_.root);
    enqueue(std::move(job));
}

}  // namespace cdbd
