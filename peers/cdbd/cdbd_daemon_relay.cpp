// The command line's requests that daemons answer: reads of operational data from their
// callpoints, actions, and the management socket.
#include <event2/event.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "peers/cdbd/cdbd_internal.h"
#include "peers/cdbd/path_text.h"

namespace cdbd {

namespace {

// The bytes a writer holds after the frame header.
std::vector<uint8_t> body(WireWriter &w) {
    const auto &f = w.finish();
    return std::vector<uint8_t>(f.begin() + confd_wire::kHeaderSize, f.end());
}

const lysc_node *child_by_tag(const SchemaDb &s, const lysc_node *parent, uint32_t tag) {
    const lysc_node *c = nullptr;
    while ((c = lys_getnext(c, parent, nullptr, 0)))
        if (s.tag(c) == tag)
            return c;
    return nullptr;
}

const lysc_node *top_by_tag(const SchemaDb &s, uint32_t tag, uint32_t ns) {
    for (const lys_module *m : s.modules()) {
        if (!m->compiled || (ns && s.ns(m) != ns))
            continue;
        const lysc_node *n = nullptr;
        while ((n = lys_getnext(n, nullptr, m->compiled, 0)))
            if (s.tag(n) == tag)
                return n;
    }
    return nullptr;
}

// The schema node a key path names and its printed form; keys says whether the path ends with
// a list entry's keys.
const lysc_node *kp_node(const SchemaDb &s, const confd_hkeypath_t &kp, bool &keys,
                         std::string &text) {
    const lysc_node *node = nullptr;
    keys = false;
    text.clear();
    for (int i = kp.len - 1; i >= 0; --i) {
        const confd_value_t *e = kp.v[i];
        if (e[0].type == C_XMLTAG) {
            node = node ? child_by_tag(s, node, e[0].val.xmltag.tag)
                        : top_by_tag(s, e[0].val.xmltag.tag, e[0].val.xmltag.ns);
            if (!node)
                return nullptr;
            text += std::string("/") + node->name;
            keys = false;
            continue;
        }
        if (!node || node->nodetype != LYS_LIST)
            return nullptr;
        text += "{";
        for (int k = 0; k < MAXKEYLEN && e[k].type != C_NOEXISTS; ++k) {
            char buf[256];
            confd_pp_value(buf, sizeof buf, &e[k]);
            if (k)
                text += ' ';
            text += buf;
        }
        text += "}";
        keys = true;
    }
    return node;
}

// The key path of a data node path whose elements resolved already (keys as strings).
bool build_kp(const SchemaDb &s, const std::vector<std::string> &elems, confd_hkeypath_t &kp,
              std::string &err) {
    std::vector<std::vector<confd_value_t>> rev;
    const lysc_node *node = nullptr;
    for (const auto &elem : elems) {
        std::string name = elem.substr(0, elem.find('{'));
        if (auto colon = name.find(':'); colon != std::string::npos)
            name = name.substr(colon + 1);
        const lysc_node *found = nullptr;
        if (!node) {
            for (const lys_module *m : s.modules()) {
                const lysc_node *n = nullptr;
                while (m->compiled && !found && (n = lys_getnext(n, nullptr, m->compiled, 0)))
                    if (name == n->name)
                        found = n;
                if (found)
                    break;
            }
        } else {
            const lysc_node *n = nullptr;
            while (!found && (n = lys_getnext(n, node, nullptr, 0)))
                if (name == n->name)
                    found = n;
        }
        if (!found) {
            err = "no element '" + name + "'";
            return false;
        }
        confd_value_t t{};
        CONFD_SET_XMLTAG(&t, s.tag(found), s.ns(found->module));
        rev.push_back({t});
        if (auto b = elem.find('{'); b != std::string::npos) {
            std::vector<confd_value_t> keys;
            for (const auto &k : split_key_text(elem.substr(b + 1, elem.size() - b - 2))) {
                confd_value_t v{};
                auto *p = static_cast<unsigned char *>(malloc(k.size() + 1));
                memcpy(p, k.c_str(), k.size() + 1);
                CONFD_SET_BUF(&v, p, k.size());
                keys.push_back(v);
            }
            if (keys.size() > MAXKEYLEN)
                keys.resize(MAXKEYLEN);
            rev.push_back(keys);
        }
        node = found;
    }
    if (rev.size() > MAXDEPTH) {
        for (auto &e : rev)
            for (auto &v : e)
                confd_free_value(&v);
        err = "the path is deeper than " + std::to_string(MAXDEPTH) + " elements";
        return false;
    }
    kp.len = static_cast<int>(rev.size());
    for (size_t i = 0; i < rev.size(); ++i) {
        auto &slot = kp.v[rev.size() - 1 - i];
        for (size_t k = 0; k < rev[i].size(); ++k)
            slot[k] = rev[i][k];
        if (rev[i].size() < MAXKEYLEN)
            slot[rev[i].size()].type = C_NOEXISTS;
    }
    return true;
}

}  // namespace

// ---- operational data from daemons ----
void CdbServer::do_dp(Conn &c, const std::vector<uint8_t> &payload) {
    WireReader r(payload.data(), payload.size());
    uint16_t cbop = 0;
    confd_hkeypath_t kp{};
    if (!r.u16(cbop) || !r.keypath(kp)) {
        confd_wire::free_keypath(kp);
        return reply_err(c, Op::CliDp, CONFD_ERR_PROTOUSAGE, "malformed read request");
    }
    const Op op = static_cast<Op>(cbop);
    bool keys = false;
    std::string text;
    const lysc_node *node = kp_node(schema_, kp, keys, text);
    confd_wire::free_keypath(kp);
    if (op != Op::CbGetObject && op != Op::CbGetNextObject && op != Op::CbFindNextObject)
        return reply_err(c, Op::CliDp, CONFD_ERR_PROTOUSAGE, "unknown read request");
    if (!node || node->nodetype != LYS_LIST)
        return reply_err(c, Op::CliDp, CONFD_ERR_BADPATH,
                         "the key path does not name a list" + (text.empty() ? "" : ": " + text));
    if (keys != (op == Op::CbGetObject))
        return reply_err(c, Op::CliDp, CONFD_ERR_BADPATH,
                         text + (keys ? " names an entry, not a list" : " names no entry"));
    const std::string cp = plx_ext_arg(node, "callpoint");
    if (cp.empty())
        return reply_err(c, Op::CliDp, CONFD_ERR_BADPATH, text + " has no callpoint");
    const uint64_t token = serving_daemon(callpoint_owner_, cp);
    if (!token)
        return reply_err(c, Op::CliDp, CONFD_ERR_UNAVAILABLE,
                         "no daemon serves callpoint " + cp + " (" + text + ")");
    WireWriter a(Op::Hello);
    a.str(cp);
    a.bytes(payload.data() + 2, payload.size() - 2);
    auto args = std::make_shared<std::vector<uint8_t>>(body(a));
    if (!c.thandle) {
        c.thandle = next_thandle_++;
        trans_[c.thandle].owner = c.id;
    }
    Trans &t = trans_[c.thandle];
    auto w = t.workers.find(token);
    if (w != t.workers.end() && conns_.count(w->second))
        return dp_send(c.id, c.thandle, token, w->second, args, op);
    Daemon &d = daemons_[token];
    if (!d.trans_cb) {
        if (d.workers.empty())
            return reply_err(c, Op::CliDp, CONFD_ERR_UNAVAILABLE,
                             daemon_name(token) + " has no worker socket");
        t.workers[token] = d.workers.front();
        return dp_send(c.id, c.thandle, token, d.workers.front(), args, op);
    }
    const uint64_t cli = c.id;
    const int th = c.thandle;
    call_daemon(
        d.control, Op::CbTransInit,
        [&](WireWriter &x) {
            x.i32(th);
            x.i32(static_cast<int32_t>(cli));
            x.str("cli");
        },
        [this, cli, th, token, args, op](CallResult &res) {
            auto cc = conns_.find(cli);
            if (cc == conns_.end())
                return;
            const uint64_t worker = bound_worker(res, token, "transaction");
            if (!res.ok)
                return reply_err(*cc->second, Op::CliDp, res.code,
                                 daemon_name(token) + ": " + res.msg);
            auto tt = trans_.find(th);
            if (tt == trans_.end())
                return;
            tt->second.workers[token] = worker;
            dp_send(cli, th, token, worker, args, op);
        });
}

uint64_t CdbServer::bound_worker(CallResult &res, uint64_t daemon, const char *what) {
    if (!res.ok)
        return 0;
    uint64_t worker = 0;
    WireReader rr(res.payload.data(), res.payload.size());
    rr.u64(worker);
    auto d = daemons_.find(daemon);
    if (d != daemons_.end() && std::find(d->second.workers.begin(), d->second.workers.end(),
                                         worker) != d->second.workers.end())
        return worker;
    res.ok = false;
    res.code = CONFD_ERR_PROTOUSAGE;
    res.msg = std::string("the ") + what + " was bound to an unknown worker socket";
    return 0;
}

void CdbServer::dp_send(uint64_t cli, int thandle, uint64_t daemon, uint64_t worker,
                        std::shared_ptr<std::vector<uint8_t>> args, Op cbop) {
    call_daemon(
        worker, cbop,
        [&](WireWriter &w) {
            w.i32(thandle);
            w.bytes(args->data(), args->size());
        },
        reply_to_cli(cli, daemon, Op::CliDp));
}

CdbServer::CallDone CdbServer::reply_to_cli(uint64_t cli, uint64_t daemon, Op op) {
    return [this, cli, daemon, op](CallResult &res) {
        auto cc = conns_.find(cli);
        if (cc == conns_.end())
            return;
        if (!res.ok)
            return reply_err(*cc->second, op, res.code, daemon_name(daemon) + ": " + res.msg);
        WireWriter w(op);
        w.bytes(res.payload.data(), res.payload.size());
        send(*cc->second, w.finish());
    };
}

uint64_t CdbServer::serving_daemon(const std::map<std::string, uint64_t> &owners,
                                   const std::string &point) const {
    auto owner = owners.find(point);
    if (owner == owners.end())
        return 0;
    auto d = daemons_.find(owner->second);
    return d != daemons_.end() && d->second.done ? owner->second : 0;
}

// ---- actions ----
void CdbServer::do_action(Conn &c, WireReader &r) {
    std::string path;
    uint32_t n = 0;
    std::vector<std::pair<std::string, std::string>> params;
    bool ok = r.str(path) && r.u32(n);
    for (uint32_t i = 0; ok && i < n; ++i) {
        std::string name, value;
        ok = r.str(name) && r.str(value);
        params.emplace_back(name, value);
    }
    if (!ok)
        return reply_err(c, Op::CliAction, CONFD_ERR_PROTOUSAGE, "malformed action request");
    fprintf(stderr, "cdbd: action %s by %s\n", path.c_str(), conn_owner_text(c, port_).c_str());
    std::vector<std::string> elems = split_elems(path);
    if (elems.empty())
        return reply_err(c, Op::CliAction, CONFD_ERR_BADPATH, "no action named");
    std::string aname = elems.back();
    if (auto colon = aname.find(':'); colon != std::string::npos)
        aname = aname.substr(colon + 1);
    elems.pop_back();
    const lysc_node *action = nullptr;
    std::string xpath;
    std::string err;
    if (elems.empty()) {
        for (const lys_module *m : schema_.modules())
            for (const lysc_node_action *a = m->compiled ? m->compiled->rpcs : nullptr;
                 a && !action; a = reinterpret_cast<const lysc_node_action *>(a->next))
                if (aname == a->name) {
                    action = &a->node;
                    xpath = std::string("/") + m->name + ":" + aname;
                }
    } else {
        std::string parent;
        for (const auto &e : elems)
            parent += "/" + e;
        ResolvedPath rp;
        if (!schema_.resolve(parent, rp, err))
            return reply_err(c, Op::CliAction, CONFD_ERR_BADPATH, err);
        if (!rp.has_all_keys)
            return reply_err(c, Op::CliAction, CONFD_ERR_BADPATH,
                             parent + ": a list entry needs its keys");
        for (const lysc_node_action *a = lysc_node_actions(rp.schema); a && !action;
             a = reinterpret_cast<const lysc_node_action *>(a->next))
            if (aname == a->name)
                action = &a->node;
        xpath = rp.xpath + "/" + aname;
    }
    if (!action)
        return reply_err(c, Op::CliAction, CONFD_ERR_BADPATH, path + " is not an action");
    const std::string ap = plx_ext_arg(action, "actionpoint");
    if (ap.empty())
        return reply_err(c, Op::CliAction, CONFD_ERR_BADPATH, path + " has no action point");
    const uint64_t token = serving_daemon(actionpoint_owner_, ap);
    if (!token)
        return reply_err(c, Op::CliAction, CONFD_ERR_UNAVAILABLE,
                         "no daemon serves action point " + ap);
    // The request: action point, the action's tag, the key path of its parent, the input.
    WireWriter a(Op::Hello);
    a.str(ap);
    a.u32(schema_.tag(action));
    a.u32(schema_.ns(action->module));
    confd_hkeypath_t kp{};
    if (!build_kp(schema_, elems, kp, err))
        return reply_err(c, Op::CliAction, CONFD_ERR_BADPATH, err);
    a.keypath(kp);
    confd_wire::free_keypath(kp);
    a.u32(static_cast<uint32_t>(params.size()));
    for (const auto &[pname, value] : params) {
        const lysc_node *in = nullptr;
        const lysc_node *x = nullptr;
        while (!in && (x = lys_getnext(x, action, nullptr, 0)))
            if (pname == x->name)
                in = x;
        if (!in || !(in->nodetype & (LYS_LEAF | LYS_LEAFLIST)))
            return reply_err(c, Op::CliAction, CONFD_ERR_BADPATH,
                             "the action " + path + " takes no parameter " + pname);
        lyd_node *top = nullptr, *leaf = nullptr;
        confd_value_t v{};
        if (lyd_new_path2(nullptr, schema_.ctx(), (xpath + "/" + pname).c_str(), value.c_str(), 0,
                          LYD_ANYDATA_STRING, 0, &top, &leaf) != LY_SUCCESS ||
            !leaf || !schema_.to_value(leaf, v)) {
            std::string why = ly_error_text(schema_.ctx());
            lyd_free_all(top);
            return reply_err(c, Op::CliAction, CONFD_ERR_BADTYPE,
                             "parameter " + pname + ": bad value '" + value + "': " + why);
        }
        lyd_free_all(top);
        confd_tag_value_t tv{};
        tv.tag.tag = schema_.tag(in);
        tv.tag.ns = schema_.ns(in->module);
        tv.v = v;
        a.tagged(tv);
        confd_free_value(&v);
    }
    auto args = std::make_shared<std::vector<uint8_t>>(body(a));
    const uint64_t cli = c.id;
    call_daemon(
        daemons_[token].control, Op::CbActionInit,
        [&](WireWriter &w) {
            w.i32(static_cast<int32_t>(cli));
            w.str("cli");
            w.str(ap);
        },
        [this, cli, token, args](CallResult &res) {
            auto cc = conns_.find(cli);
            if (cc == conns_.end())
                return;
            const uint64_t worker = bound_worker(res, token, "action");
            if (!res.ok || !conns_.count(worker))
                return reply_err(
                    *cc->second, Op::CliAction, res.ok ? CONFD_ERR_PROTOUSAGE : res.code,
                    daemon_name(token) + ": " +
                        (res.ok ? "the action was bound to an unknown worker socket" : res.msg));
            call_daemon(
                worker, Op::CbAction,
                [&](WireWriter &w) {
                    w.i32(static_cast<int32_t>(cli));
                    w.bytes(args->data(), args->size());
                },
                reply_to_cli(cli, token, Op::CliAction));
        });
}

// ---- management socket ----
void CdbServer::do_maapi(Conn &c, Op op, WireReader &r) {
    if (op == Op::MaapiCliWrite) {
        int32_t usid = 0;
        std::string text;
        if (!r.i32(usid) || !r.str(text))
            return reply_err(c, op, CONFD_ERR_PROTOUSAGE, "malformed request");
        auto it = conns_.find(static_cast<uint64_t>(usid));
        if (usid <= 0 || it == conns_.end() || it->second->kind != WireSock::Cli)
            return reply_err(c, op, CONFD_ERR_NOEXISTS,
                             "no command-line session " + std::to_string(usid));
        WireWriter w(Op::CliOutput);
        w.str(text);
        send(*it->second, w.finish());
        return reply_ok(c, op);
    }
    int32_t ns = 0, th = 0;
    if ((op == Op::MaapiAttach && !r.i32(ns)) || !r.i32(th))
        return reply_err(c, op, CONFD_ERR_PROTOUSAGE, "malformed request");
    if (!trans_.count(th))
        return reply_err(c, op, CONFD_ERR_NOEXISTS, "no transaction " + std::to_string(th));
    reply_ok(c, op);
}

}  // namespace cdbd
