#include "peers/cdbd/cdbcli_oper.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>

#include "peers/cdbd/cdbcli_oper_print.h"
#include "peers/cdbd/path_text.h"

using confd_wire::DpReply;
using confd_wire::Op;
using confd_wire::WireReader;
using confd_wire::WireWriter;

namespace cdbcli {

void DpResult::clear() {
    for (auto &tv : values)
        confd_free_value(&tv.v);
    for (auto &v : keys)
        confd_free_value(&v);
    values.clear();
    keys.clear();
    kind = DpReply::NotFound;
    end = false;
    next = -1;
}

namespace {

int dp_call(int fd, WireWriter &w, DpResult &out) {
    out.clear();
    std::vector<uint8_t> reply;
    int rc = confd_client::request(fd, w.finish(), reply);
    if (rc != CONFD_OK)
        return rc;
    WireReader r(reply.data(), reply.size());
    uint8_t kind = 0;
    bool ok = r.u8(kind) && kind <= static_cast<uint8_t>(DpReply::NextKey);
    out.kind = static_cast<DpReply>(kind);
    if (ok && (out.kind == DpReply::Object || out.kind == DpReply::NextObject)) {
        ok = r.tagged_list(out.values);
    } else if (ok && out.kind == DpReply::NextKey) {
        int32_t n = 0;
        ok = r.i32(n) && n <= MAXKEYLEN;
        out.end = n < 0;
        for (int32_t i = 0; ok && i < n; ++i) {
            confd_value_t v{};
            ok = r.value(v);
            if (ok)
                out.keys.push_back(v);
        }
    }
    uint64_t next = static_cast<uint64_t>(-1);
    if (ok && out.kind != DpReply::NotFound && out.kind != DpReply::Object)
        ok = r.u64(next);
    out.next = static_cast<int64_t>(next);
    if (!ok)
        return confd_client::set_err(CONFD_ERR_PROTOUSAGE, "malformed reply of a data provider");
    return CONFD_OK;
}

WireWriter start(Op cbop, const confd_hkeypath_t &kp) {
    WireWriter w(Op::CliDp);
    w.u16(static_cast<uint16_t>(cbop));
    w.keypath(kp);
    return w;
}

struct Owned {
    std::vector<confd_value_t> v;
    Owned() = default;
    Owned(const Owned &) = delete;
    Owned &operator=(const Owned &) = delete;
    ~Owned() { clear(); }
    void clear() {
        for (auto &x : v)
            confd_free_value(&x);
        v.clear();
    }
};

// A key path under construction, outer elements first.
using Elems = std::vector<std::vector<confd_value_t>>;

confd_hkeypath_t to_kp(const Elems &e) {
    confd_hkeypath_t kp{};
    kp.len = static_cast<int>(std::min<size_t>(e.size(), MAXDEPTH));
    for (int i = 0; i < kp.len; ++i) {
        auto &slot = kp.v[kp.len - 1 - i];
        const auto &src = e[static_cast<size_t>(i)];
        for (size_t k = 0; k < src.size() && k < MAXKEYLEN; ++k)
            slot[k] = src[k];
        if (src.size() < MAXKEYLEN)
            slot[src.size()].type = C_NOEXISTS;
    }
    return kp;
}

confd_value_t tag_of(const confd_cs_node *n) {
    confd_value_t v{};
    CONFD_SET_XMLTAG(&v, n->tag, n->ns);
    return v;
}

// A key value in the type of its leaf (the value itself when it has that type already).
confd_value_t key_value(const confd_cs_node *leaf, const confd_value_t &v, Owned &conv) {
    if (!leaf || !leaf->info.type || v.type == leaf->info.shallow_type)
        return v;
    char text[1024];
    confd_value_t out{};
    if (confd_val2str(leaf->info.type, &v, text, sizeof text) < 0 &&
        !(v.type == C_STR && snprintf(text, sizeof text, "%s", v.val.s) >= 0))
        return v;
    if (confd_str2val(leaf->info.type, text, &out) != CONFD_OK)
        return v;
    conv.v.push_back(out);
    return out;
}

struct PathElem {
    const confd_cs_node *node = nullptr;
    std::vector<std::string> keys;
    bool keyed = false;
};

bool skipped(const confd_cs_node *c) {
    return c->info.flags & (CS_NODE_IS_ACTION | CS_NODE_IS_NOTIF | CS_NODE_IS_WRITE);
}

// One walk of the lists below a path, reporting every entry to a printer as it is read. With a
// focus list, only the lists on the way to it are read and its entries are not descended into.
class Reader {
  public:
    Reader(int fd, OperSink &sink, const confd_cs_node *focus, std::string &err)
        : fd_(fd), sink_(sink), focus_(focus), err_(err) {}

    bool path(const std::vector<PathElem> &elems) {
        Elems prefix;
        Owned owned;  // key values built from the path
        size_t opened = 0;
        bool ok = path_walk(elems, prefix, owned, opened);
        while (opened--)
            sink_.end();
        return ok;
    }

  private:
    bool path_walk(const std::vector<PathElem> &elems, Elems &prefix, Owned &owned,
                   size_t &opened) {
        for (size_t i = 0; i < elems.size(); ++i) {
            const PathElem &pe = elems[i];
            if ((pe.node->info.flags & CS_NODE_IS_LIST) && !pe.keyed) {
                if (i + 1 != elems.size())
                    return fail(node_name(pe.node) + " needs its keys");
                return list(pe.node, prefix, false);
            }
            prefix.push_back({tag_of(pe.node)});
            if (!pe.keyed) {
                sink_.container(pe.node);
                ++opened;
                continue;
            }
            std::vector<confd_value_t> keys;
            std::vector<confd_tag_value_t> synth;
            const uint32_t *k = pe.node->info.keys;
            for (const auto &text : pe.keys) {
                const confd_cs_node *kn = confd_find_cs_node_child(pe.node, xml_tag{*k, 0});
                confd_value_t v{};
                if (!kn || confd_str2val(kn->info.type, text.c_str(), &v) != CONFD_OK)
                    return fail("bad key '" + text + "' of " + node_name(pe.node) + ": " +
                                confd_lasterr());
                owned.v.push_back(v);
                keys.push_back(v);
                synth.push_back(confd_tag_value_t{xml_tag{*k++, kn->ns}, v});
            }
            prefix.push_back(keys);
            DpResult r;
            if (confd_client::cs_node_point(pe.node, false)) {
                if (!check(dp_get_object(fd_, to_kp(prefix), r), prefix))
                    return false;
                if (r.kind == DpReply::NotFound)
                    return fail(cdbd_path(prefix) + " does not exist");
            }
            const auto &values = r.kind == DpReply::Object ? r.values : synth;
            sink_.entry(pe.node, values, ctx_);
            ++opened;
            ctx_.emplace_back(node_name(pe.node), key_text(pe.node, values));
            if (pe.node == focus_)
                return true;
        }
        return children(elems.back().node, prefix);
    }

    // Is c on the way to the focus list (or the focus itself)?
    bool wanted(const confd_cs_node *c) const {
        for (const confd_cs_node *n = focus_; n; n = n->parent)
            if (n == c)
                return true;
        return !focus_;
    }

    bool children(const confd_cs_node *parent, Elems &prefix) {
        for (const confd_cs_node *c = parent->children; c; c = c->next) {
            if (skipped(c) || !wanted(c))
                continue;
            if (c->info.flags & CS_NODE_IS_LIST) {
                if (confd_client::cs_node_point(c, false) && !list(c, prefix, true))
                    return false;
            } else if (c->info.flags & CS_NODE_IS_CONTAINER) {
                sink_.container(c);
                prefix.push_back({tag_of(c)});
                bool ok = children(c, prefix);
                prefix.pop_back();
                sink_.end();
                if (!ok)
                    return false;
            }
        }
        return true;
    }

    static std::string key_text(const confd_cs_node *list,
                                const std::vector<confd_tag_value_t> &v) {
        std::string text;
        for (const uint32_t *k = list->info.keys; k && *k; ++k)
            for (const auto &tv : v)
                if (tv.tag.tag == *k) {
                    text += (text.empty() ? "" : " ") +
                            value_text(confd_find_cs_node_child(list, xml_tag{*k, 0}), tv.v);
                    break;
                }
        return text;
    }

    // Prints an entry and reads its nested lists.
    // Keys go back to the provider in their leaves' own types (a provider may reply a string key
    // as C_STR; the database hands string keys to providers as C_BUF): converted values are
    // kept in conv.
    bool entry(const confd_cs_node *list, Elems &prefix, const std::vector<confd_tag_value_t> &v,
               std::vector<confd_value_t> &keys, Owned &conv) {
        keys.clear();
        for (const uint32_t *k = list->info.keys; k && *k; ++k) {
            auto it = std::find_if(v.begin(), v.end(),
                                   [k](const confd_tag_value_t &tv) { return tv.tag.tag == *k; });
            if (it == v.end())
                return fail("the provider of " + cdbd_path(prefix) + " sent an entry without key " +
                            node_name(confd_find_cs_node_child(list, xml_tag{*k, 0})));
            keys.push_back(key_value(confd_find_cs_node_child(list, xml_tag{*k, 0}), it->v, conv));
        }
        sink_.entry(list, v, ctx_);
        bool ok = true;
        if (list != focus_) {
            ctx_.emplace_back(node_name(list), key_text(list, v));
            prefix.push_back(keys);
            ok = children(list, prefix);
            prefix.pop_back();
            ctx_.pop_back();
        }
        sink_.end();
        return ok;
    }

    // A nested list whose callpoint no daemon serves is left out (unserved true); the list
    // the operator named is an error.
    bool list(const confd_cs_node *list, Elems &prefix, bool unserved) {
        prefix.push_back({tag_of(list)});
        bool ok = walk(list, prefix, unserved);
        prefix.pop_back();
        return ok;
    }

    bool walk(const confd_cs_node *list, Elems &prefix, bool unserved) {
        const confd_hkeypath_t kp = to_kp(prefix);
        DpResult r;
        std::vector<confd_value_t> keys;
        Owned last;
        int rc = dp_get_next_object(fd_, kp, -1, r);
        if (rc == CONFD_ERR && unserved && confd_errno == CONFD_ERR_UNAVAILABLE &&
            strncmp(confd_lasterr(), "no daemon serves", 16) == 0)
            return true;
        if (!check(rc, prefix))
            return false;
        for (size_t guard = 0;; ++guard) {
            if (r.kind == DpReply::NotFound || r.end)
                return true;
            if (guard > 100000000)
                return fail("the provider of " + cdbd_path(prefix) + " never ends the list");
            DpResult obj;
            const std::vector<confd_tag_value_t> *vals = &r.values;
            if (r.kind == DpReply::NextKey) {  // keys only: fetch the object
                Elems with = prefix;
                with.push_back(r.keys);
                if (!check(dp_get_object(fd_, to_kp(with), obj), prefix))
                    return false;
                vals = &obj.values;
                if (obj.kind == DpReply::NotFound)
                    return true;
            }
            Owned conv;
            if (!entry(list, prefix, *vals, keys, conv))
                return false;
            if (!last.v.empty() && keys.size() == last.v.size() &&
                std::equal(keys.begin(), keys.end(), last.v.begin(),
                           [](const confd_value_t &a, const confd_value_t &b) {
                               return confd_val_eq(&a, &b);
                           }))
                return fail("the provider of " + cdbd_path(prefix) + " repeats an entry");
            last.clear();
            for (const auto &k : keys) {
                confd_value_t copy{};
                if (confd_value_dup_to(&k, &copy))
                    last.v.push_back(copy);
            }
            const int64_t next = r.next;
            rc = next != -1 ? dp_get_next_object(fd_, kp, static_cast<long>(next), r)
                            : dp_find_next_object(fd_, kp, CONFD_FIND_NEXT, last.v.data(),
                                                  static_cast<int>(last.v.size()), r);
            if (!check(rc, prefix))
                return false;
        }
    }

    bool fail(const std::string &msg) {
        err_ = msg;
        return false;
    }

    bool check(int rc, const Elems &prefix) {
        if (rc == CONFD_OK)
            return true;
        return fail(rc == CONFD_EOF ? "the database closed the connection"
                                    : cdbd_path(prefix) + ": " + confd_lasterr());
    }

    static std::string cdbd_path(const Elems &prefix) {
        confd_hkeypath_t kp = to_kp(prefix);
        char buf[1024];
        confd_pp_kpath(buf, sizeof buf, &kp);
        return buf;
    }

    int fd_;
    OperSink &sink_;
    const confd_cs_node *focus_;
    std::string &err_;
    OperCtx ctx_;
};

bool resolve(const std::string &path, std::vector<PathElem> &out, std::string &err) {
    const confd_cs_node *node = nullptr;
    for (const auto &e : cdbd::split_elems(path)) {
        PathElem pe;
        std::string name = e.substr(0, e.find('{'));
        if (auto colon = name.find(':'); colon != std::string::npos)
            name = name.substr(colon + 1);
        pe.node = node ? confd_find_cs_node_child(node, xml_tag{confd_str2hash(name.c_str()), 0})
                       : confd_cs_node_cd(nullptr, "/%s", name.c_str());
        if (!pe.node) {
            err = "no element '" + name + "' in " + path;
            return false;
        }
        if (auto b = e.find('{'); b != std::string::npos) {
            pe.keyed = true;
            pe.keys = cdbd::split_key_text(e.substr(b + 1, e.size() - b - 2));
            size_t nkeys = 0;
            for (const uint32_t *k = pe.node->info.keys; k && *k; ++k)
                ++nkeys;
            if (!(pe.node->info.flags & CS_NODE_IS_LIST) || nkeys != pe.keys.size()) {
                err = name + " takes " + std::to_string(nkeys) + " key(s)";
                return false;
            }
        }
        node = pe.node;
        out.push_back(pe);
    }
    if (out.empty()) {
        err = "no path";
        return false;
    }
    return true;
}

bool has_callpoint(const confd_cs_node *n) {
    if (confd_client::cs_node_point(n, false))
        return true;
    for (const confd_cs_node *c = n->children; c; c = c->next)
        if (!(c->info.flags & CS_NODE_IS_WRITE) && has_callpoint(c))
            return true;
    return false;
}

}  // namespace

int dp_get_object(int fd, const confd_hkeypath_t &kp, DpResult &out) {
    WireWriter w = start(Op::CbGetObject, kp);
    return dp_call(fd, w, out);
}

int dp_get_next_object(int fd, const confd_hkeypath_t &kp, long next, DpResult &out) {
    WireWriter w = start(Op::CbGetNextObject, kp);
    w.u64(static_cast<uint64_t>(static_cast<int64_t>(next)));
    return dp_call(fd, w, out);
}

int dp_find_next_object(int fd, const confd_hkeypath_t &kp, enum confd_find_next_type type,
                        const confd_value_t *keys, int nkeys, DpResult &out) {
    WireWriter w = start(Op::CbFindNextObject, kp);
    w.i32(type);
    w.u32(static_cast<uint32_t>(nkeys < 0 ? 0 : nkeys));
    for (int i = 0; i < nkeys; ++i)
        if (!w.value(keys[i]))
            return confd_client::set_err(CONFD_ERR_BADTYPE, "a key cannot be sent");
    return dp_call(fd, w, out);
}

bool is_provided(const std::string &path) {
    std::vector<PathElem> elems;
    std::string err;
    if (!resolve(path, elems, err))
        return false;
    for (const auto &e : elems)
        if (confd_client::cs_node_point(e.node, false))
            return true;
    const confd_cs_node *last = elems.back().node;
    return !(last->info.flags & CS_NODE_IS_WRITE) && has_callpoint(last);
}

namespace {

// The lists a text show prints, one table each, in schema order: the entries named in the path,
// then every list with a callpoint at and below its end.
void table_lists(const confd_cs_node *n, bool self, std::vector<const confd_cs_node *> &out) {
    if (self) {
        if (n->info.flags & CS_NODE_IS_LIST) {
            if (!confd_client::cs_node_point(n, false))
                return;
            out.push_back(n);
        } else if (!(n->info.flags & CS_NODE_IS_CONTAINER)) {
            return;
        }
    }
    for (const confd_cs_node *c = n->children; c; c = c->next)
        if (!skipped(c))
            table_lists(c, true, out);
}

}  // namespace

bool oper_show(int fd, const std::string &path, OperFormat format, const OperOut &out,
               std::string &err) {
    std::vector<PathElem> elems;
    if (!resolve(path, elems, err))
        return false;
    if (format != OperFormat::Text) {
        auto sink = format == OperFormat::Xml ? make_xml_sink(out) : make_json_sink(out);
        if (!Reader(fd, *sink, nullptr, err).path(elems))
            return false;
        sink->finish();
        return true;
    }
    std::vector<const confd_cs_node *> lists;
    for (const auto &pe : elems)
        if (pe.keyed)
            lists.push_back(pe.node);
    const PathElem &last = elems.back();
    table_lists(last.node, (last.node->info.flags & CS_NODE_IS_LIST) && !last.keyed, lists);
    bool printed = false;
    for (const confd_cs_node *list : lists) {
        auto sink = make_table_sink(list, out, printed);
        if (!Reader(fd, *sink, list, err).path(elems))
            return false;
        sink->finish();
    }
    return true;
}

bool oper_walk(int fd, const std::string &path, OperSink &sink, std::string &err) {
    std::vector<PathElem> elems;
    if (!resolve(path, elems, err) || !Reader(fd, sink, nullptr, err).path(elems))
        return false;
    sink.finish();
    return true;
}

}  // namespace cdbcli
