#include "peers/cdbd/cdbcli_oper.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>

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

std::string value_text(const confd_cs_node *leaf, const confd_value_t &v) {
    char buf[1024];
    if (leaf && leaf->info.type && confd_val2str(leaf->info.type, &v, buf, sizeof buf) >= 0)
        return buf;
    confd_pp_value(buf, sizeof buf, &v);
    return buf;
}

std::string node_name(const confd_cs_node *n) {
    const char *s = n ? confd_hash2str(n->tag) : nullptr;
    return s ? s : (n ? std::to_string(n->tag) : "");
}

// The nodes of one reply: leaves, containers as nested nodes.
void add_values(const confd_cs_node *parent, const std::vector<confd_tag_value_t> &vals, size_t &i,
                OperNode &into) {
    for (; i < vals.size(); ++i) {
        const confd_tag_value_t &tv = vals[i];
        if (tv.v.type == C_XMLEND)
            return;
        const confd_cs_node *c = confd_find_cs_node_child(parent, tv.tag);
        OperNode n;
        n.schema = c;
        if (tv.v.type == C_XMLBEGIN) {
            ++i;
            add_values(c, vals, i, n);
        } else if (tv.v.type == C_NOEXISTS) {
            continue;
        } else {
            n.text = value_text(c, tv.v);
        }
        if (c)
            into.children.push_back(std::move(n));
    }
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

class Reader {
  public:
    Reader(int fd, std::string &err) : fd_(fd), err_(err) {}

    bool children(const confd_cs_node *parent, Elems &prefix, OperNode &into) {
        for (const confd_cs_node *c = parent->children; c; c = c->next) {
            if (c->info.flags & (CS_NODE_IS_ACTION | CS_NODE_IS_NOTIF | CS_NODE_IS_WRITE))
                continue;
            if (c->info.flags & CS_NODE_IS_LIST) {
                if (confd_client::cs_node_point(c, false) && !list(c, prefix, into, true))
                    return false;
            } else if (c->info.flags & CS_NODE_IS_CONTAINER) {
                OperNode n;
                n.schema = c;
                prefix.push_back({tag_of(c)});
                bool ok = children(c, prefix, n);
                prefix.pop_back();
                if (!ok)
                    return false;
                if (!n.children.empty())
                    into.children.push_back(std::move(n));
            }
        }
        return true;
    }

    // Reads an entry's nested lists and adds it.
    // Keys go back to the provider in their leaves' own types (a provider may reply a string key
    // as C_STR; the database hands string keys to providers as C_BUF): converted values are
    // kept in conv.
    bool entry(const confd_cs_node *list, Elems &prefix, const std::vector<confd_tag_value_t> &v,
               std::vector<confd_value_t> &keys, Owned &conv, OperNode &into) {
        OperNode e;
        e.schema = list;
        size_t i = 0;
        add_values(list, v, i, e);
        keys.clear();
        for (const uint32_t *k = list->info.keys; k && *k; ++k) {
            auto it = std::find_if(v.begin(), v.end(),
                                   [k](const confd_tag_value_t &tv) { return tv.tag.tag == *k; });
            if (it == v.end())
                return fail("the provider of " + path(prefix) + " sent an entry without key " +
                            node_name(confd_find_cs_node_child(list, xml_tag{*k, 0})));
            keys.push_back(key_value(confd_find_cs_node_child(list, xml_tag{*k, 0}), it->v, conv));
        }
        prefix.push_back(keys);
        bool ok = children(list, prefix, e);
        prefix.pop_back();
        into.children.push_back(std::move(e));
        return ok;
    }

    // A nested list whose callpoint no daemon serves is left out (unserved true); the list
    // the operator named is an error.
    bool list(const confd_cs_node *list, Elems &prefix, OperNode &into, bool unserved) {
        prefix.push_back({tag_of(list)});
        bool ok = walk(list, prefix, into, unserved);
        prefix.pop_back();
        return ok;
    }

    bool walk(const confd_cs_node *list, Elems &prefix, OperNode &into, bool unserved) {
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
            if (guard > 10000000)
                return fail("the provider of " + path(prefix) + " never ends the list");
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
            if (!entry(list, prefix, *vals, keys, conv, into))
                return false;
            if (!last.v.empty() && keys.size() == last.v.size() &&
                std::equal(keys.begin(), keys.end(), last.v.begin(),
                           [](const confd_value_t &a, const confd_value_t &b) {
                               return confd_val_eq(&a, &b);
                           }))
                return fail("the provider of " + path(prefix) + " repeats an entry");
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
                                    : path(prefix) + ": " + confd_lasterr());
    }

    std::string path(const Elems &prefix) {
        confd_hkeypath_t kp = to_kp(prefix);
        char buf[1024];
        confd_pp_kpath(buf, sizeof buf, &kp);
        return buf;
    }

  private:
    int fd_;
    std::string &err_;
};

struct PathElem {
    const confd_cs_node *node = nullptr;
    std::vector<std::string> keys;
    bool keyed = false;
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

std::string upper(std::string s) {
    for (auto &c : s)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return s;
}

struct Table {
    std::vector<std::string> head;
    std::vector<const confd_cs_node *> leaves;
    std::vector<std::vector<std::string>> rows;
    std::string title;
};

void collect(const OperNode &n, std::vector<std::pair<std::string, std::string>> &ctx,
             std::string title, std::vector<const confd_cs_node *> &order,
             std::map<const confd_cs_node *, Table> &tables) {
    for (const auto &c : n.children) {
        if (!c.schema)
            continue;
        if (c.schema->info.flags & CS_NODE_IS_LIST) {
            Table &t = tables[c.schema];
            if (t.head.empty()) {
                order.push_back(c.schema);
                t.title = title + "/" + node_name(c.schema);
                for (const auto &[name, v] : ctx)
                    t.head.push_back(upper(name));
                for (const confd_cs_node *l = c.schema->children; l; l = l->next)
                    if (!(l->info.flags & (CS_NODE_IS_LIST | CS_NODE_IS_CONTAINER |
                                           CS_NODE_IS_ACTION | CS_NODE_IS_NOTIF))) {
                        t.leaves.push_back(l);
                        t.head.push_back(upper(node_name(l)));
                    }
            }
            std::vector<std::string> row;
            for (const auto &[name, v] : ctx)
                row.push_back(v);
            std::string keytext;
            for (const confd_cs_node *l : t.leaves) {
                auto it = std::find_if(c.children.begin(), c.children.end(),
                                       [l](const OperNode &x) { return x.schema == l; });
                row.push_back(it == c.children.end() ? "-" : it->text);
            }
            for (const uint32_t *k = c.schema->info.keys; k && *k; ++k)
                for (const auto &x : c.children)
                    if (x.schema && x.schema->tag == *k)
                        keytext += (keytext.empty() ? "" : " ") + x.text;
            t.rows.push_back(row);
            ctx.emplace_back(node_name(c.schema), keytext);
            collect(c, ctx, t.title, order, tables);
            ctx.pop_back();
        } else if (c.schema->info.flags & CS_NODE_IS_CONTAINER) {
            collect(c, ctx, title + "/" + node_name(c.schema), order, tables);
        }
    }
}

const char *ns_field(uint32_t ns, bool module) {
    confd_nsinfo *list = nullptr;
    int n = confd_get_nslist(&list);
    for (int i = 0; i < n; ++i)
        if (list[i].hash == ns)
            return module ? list[i].module : list[i].uri;
    return nullptr;
}

std::string xml_escape(const std::string &in) {
    std::string out;
    for (char ch : in)
        out += ch == '<' ? "&lt;" : ch == '>' ? "&gt;" : ch == '&' ? "&amp;" : std::string(1, ch);
    return out;
}

void xml_node(const OperNode &n, uint32_t parent_ns, int depth, std::string &out) {
    const std::string pad(2 * static_cast<size_t>(depth), ' ');
    const std::string name = node_name(n.schema);
    std::string open = name;
    if (n.schema->ns != parent_ns)
        if (const char *uri = ns_field(n.schema->ns, false))
            open += std::string(" xmlns=\"") + uri + "\"";
    if (n.children.empty() && !(n.schema->info.flags & (CS_NODE_IS_LIST | CS_NODE_IS_CONTAINER))) {
        out += pad + "<" + open + ">" + xml_escape(n.text) + "</" + name + ">\n";
        return;
    }
    out += pad + "<" + open + ">\n";
    for (const auto &c : n.children)
        if (c.schema)
            xml_node(c, n.schema->ns, depth + 1, out);
    out += pad + "</" + name + ">\n";
}

std::string json_str(const std::string &s) {
    std::string out = "\"";
    for (char ch : s) {
        if (ch == '"' || ch == '\\')
            out += '\\';
        out += ch;
    }
    return out + "\"";
}

void json_members(const OperNode &n, uint32_t parent_ns, int depth, std::string &out) {
    const std::string pad(2 * static_cast<size_t>(depth), ' ');
    bool first = true;
    for (size_t i = 0; i < n.children.size();) {
        const OperNode &c = n.children[i];
        if (!c.schema) {
            ++i;
            continue;
        }
        std::string name = node_name(c.schema);
        if (c.schema->ns != parent_ns)
            if (const char *m = ns_field(c.schema->ns, true))
                name = std::string(m) + ":" + name;
        out += (first ? "" : ",\n") + pad + json_str(name) + ": ";
        first = false;
        if (c.schema->info.flags & CS_NODE_IS_LIST) {
            out += "[\n";
            size_t j = i;
            for (; j < n.children.size() && n.children[j].schema == c.schema; ++j) {
                out += (j == i ? "" : ",\n") + pad + "  {\n";
                json_members(n.children[j], c.schema->ns, depth + 2, out);
                out += "\n" + pad + "  }";
            }
            out += "\n" + pad + "]";
            i = j;
            continue;
        }
        if (c.schema->info.flags & CS_NODE_IS_CONTAINER) {
            out += "{\n";
            json_members(c, c.schema->ns, depth + 1, out);
            out += "\n" + pad + "}";
        } else {
            const auto t = c.schema->info.shallow_type;
            const bool bare = t == C_BOOL || t == C_INT8 || t == C_INT16 || t == C_INT32 ||
                              t == C_UINT8 || t == C_UINT16 || t == C_UINT32;
            out += bare ? c.text : json_str(c.text);
        }
        ++i;
    }
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

bool oper_read(int fd, const std::string &path, OperNode &root, std::string &err) {
    std::vector<PathElem> elems;
    if (!resolve(path, elems, err))
        return false;
    root = OperNode{};
    Elems prefix;
    OperNode *at = &root;
    std::vector<OperNode *> chain;
    Reader rd(fd, err);
    Owned owned;  // key values built from the path
    auto release = [] {};
    for (size_t i = 0; i < elems.size(); ++i) {
        const PathElem &pe = elems[i];
        const bool last = i + 1 == elems.size();
        if ((pe.node->info.flags & CS_NODE_IS_LIST) && !pe.keyed) {
            if (!last) {
                err = node_name(pe.node) + " needs its keys in " + path;
                release();
                return false;
            }
            bool ok = rd.list(pe.node, prefix, *at, false);
            release();
            return ok;
        }
        prefix.push_back({tag_of(pe.node)});
        at->children.push_back(OperNode{pe.node, "", {}});
        at = &at->children.back();
        if (pe.keyed) {
            std::vector<confd_value_t> keys;
            const uint32_t *k = pe.node->info.keys;
            for (const auto &text : pe.keys) {
                const confd_cs_node *kn = confd_find_cs_node_child(pe.node, xml_tag{*k++, 0});
                confd_value_t v{};
                if (!kn || confd_str2val(kn->info.type, text.c_str(), &v) != CONFD_OK) {
                    err =
                        "bad key '" + text + "' of " + node_name(pe.node) + ": " + confd_lasterr();
                    release();
                    return false;
                }
                owned.v.push_back(v);
                keys.push_back(v);
            }
            prefix.push_back(keys);
            if (confd_client::cs_node_point(pe.node, false)) {
                DpResult r;
                if (!rd.check(dp_get_object(fd, to_kp(prefix), r), prefix)) {
                    release();
                    return false;
                }
                if (r.kind == DpReply::NotFound) {
                    err = path + " does not exist";
                    release();
                    return false;
                }
                size_t j = 0;
                add_values(pe.node, r.values, j, *at);
            } else {
                for (size_t k2 = 0; k2 < keys.size(); ++k2)
                    at->children.push_back(OperNode{
                        confd_find_cs_node_child(pe.node, xml_tag{pe.node->info.keys[k2], 0}),
                        pe.keys[k2],
                        {}});
            }
        }
    }
    bool ok = rd.children(elems.back().node, prefix, *at);
    release();
    return ok;
}

std::string oper_tables(const OperNode &root) {
    std::vector<const confd_cs_node *> order;
    std::map<const confd_cs_node *, Table> tables;
    std::vector<std::pair<std::string, std::string>> ctx;
    collect(root, ctx, "", order, tables);
    std::string out;
    for (const confd_cs_node *n : order) {
        const Table &t = tables[n];
        std::vector<size_t> w(t.head.size());
        for (size_t i = 0; i < t.head.size(); ++i) {
            w[i] = t.head[i].size();
            for (const auto &r : t.rows)
                w[i] = std::max(w[i], r[i].size());
        }
        auto line = [&](const std::vector<std::string> &cells) {
            std::string s;
            for (size_t i = 0; i < cells.size(); ++i) {
                s += cells[i];
                if (i + 1 < cells.size())
                    s += std::string(w[i] - cells[i].size() + 2, ' ');
            }
            return s + "\n";
        };
        if (!out.empty())
            out += "\n";
        out += t.title + "\n" + line(t.head);
        std::vector<std::string> dashes;
        for (size_t x : w)
            dashes.push_back(std::string(x, '-'));
        out += line(dashes);
        for (const auto &r : t.rows)
            out += line(r);
    }
    return out;
}

std::string oper_xml(const OperNode &root) {
    std::string out;
    for (const auto &c : root.children)
        if (c.schema)
            xml_node(c, 0, 0, out);
    return out;
}

std::string oper_json(const OperNode &root) {
    std::string out = "{\n";
    json_members(root, 0, 1, out);
    return out + "\n}\n";
}

}  // namespace cdbcli
