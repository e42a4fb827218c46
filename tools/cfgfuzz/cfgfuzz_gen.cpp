#include "tools/cfgfuzz/cfgfuzz_gen.h"

#include <cstdlib>
#include <cstring>
#include <regex>

namespace cfgfuzz {

namespace {

constexpr const char *kModules[] = {"quorvel-policy", "quorvel-vpn", "quorvel-snmp"};

std::string print_xml(const lyd_node *tree) {
    char *out = nullptr;
    if (!tree || lyd_print_mem(&out, tree, LYD_XML, LYD_PRINT_WITHSIBLINGS) != LY_SUCCESS)
        return "";
    std::string s = out ? out : "";
    std::free(out);
    return s;
}

lyd_node *dup_all(const lyd_node *tree) {
    lyd_node *copy = nullptr;
    if (tree)
        lyd_dup_siblings(tree, nullptr, LYD_DUP_RECURSIVE | LYD_DUP_WITH_FLAGS, &copy);
    return copy;
}

// "/quorvel-policy:policy/access-list[name='a']/sequence[id='3']/match/dscp" as the command line
// writes it: "/policy/access-list{a}/sequence{3}/match/dscp" (leaf-list predicates dropped).
std::string cli_path(const std::string &xpath) {
    std::string out;
    for (size_t i = 0; i < xpath.size();) {
        const char ch = xpath[i];
        if (ch == '[') {
            const size_t eq = xpath.find('=', i);
            const char quote = xpath[eq + 1];
            const size_t end = xpath.find(quote, eq + 2);
            const std::string name = xpath.substr(i + 1, eq - i - 1);
            if (name != ".")
                out += (out.back() == '}' ? "" : "{") + xpath.substr(eq + 2, end - eq - 2) + "}";
            i = end + 2;
            // A second key of the same entry joins the first one: {a b}.
            if (i < xpath.size() && xpath[i] == '[' && out.back() == '}')
                out.back() = ' ';
            continue;
        }
        if (ch == '/') {
            const size_t next = xpath.find_first_of("/[", i + 1);
            std::string step =
                xpath.substr(i + 1, next == std::string::npos ? std::string::npos : next - i - 1);
            if (auto colon = step.find(':'); colon != std::string::npos)
                step = step.substr(colon + 1);
            out += "/" + step;
            i = next == std::string::npos ? xpath.size() : next;
            continue;
        }
        ++i;
    }
    return out;
}

// A term node's text; empty for anything else.
std::string value_of(const lyd_node *node) {
    const char *v = node && node->schema && (node->schema->nodetype & LYD_NODE_TERM)
                        ? lyd_get_value(node)
                        : nullptr;
    return v ? v : "";
}

// Nodes where a commit the policy manager cannot take is most likely: lists whose last entry
// matters, ranges, addresses parsed by the daemon, names other objects refer to, TLOC parts,
// interfaces and trap groups. The generator picks them more often than their share.
bool is_hot(const lysc_node *n) {
    static const char *names[] = {
        "vpn",   "next-hop",   "rate",        "burst",       "ip-prefix",
        "app",   "app-family", "sla-class",   "tloc-list",   "qrv-tloc-pref-list",
        "ip",    "color",      "interface",   "group",       "enable",
        "level", "policer",    "access-list", "vpn-instance"};
    for (const char *name : names)
        if (std::strcmp(n->name, name) == 0)
            return true;
    return false;
}

std::string quote(const std::string &v) {
    return v.find('\'') == std::string::npos ? "'" + v + "'" : "\"" + v + "\"";
}

}  // namespace

std::string Commit::describe() const {
    switch (kind) {
        case Set:
            return "set '" + path + "' '" + value + "'";
        case Delete:
            return "delete '" + path + "'";
        case Replace:
            return "load --replace <<EOF\n" + xml + "EOF";
    }
    return "";
}

Generator::~Generator() {
    lyd_free_all(running_);
    lyd_free_all(pending_);
    if (ctx_)
        ly_ctx_destroy(ctx_);
}

bool Generator::init(const std::string &yang_dir, const std::string &initial, uint32_t seed,
                     std::string &why) {
    rng_.seed(seed);
    ly_log_options(LY_LOSTORE_LAST);
    if (ly_ctx_new(yang_dir.c_str(), LY_CTX_NO_YANGLIBRARY, &ctx_) != LY_SUCCESS) {
        why = "cannot create a context for " + yang_dir;
        return false;
    }
    // Every module first: loading one recompiles the others, so schema nodes are collected once
    // all are in.
    for (const char *m : kModules) {
        if (!ly_ctx_load_module(ctx_, m, nullptr, nullptr)) {
            why = std::string("cannot load ") + m;
            return false;
        }
    }
    for (const char *m : kModules) {
        lysc_module_dfs_full(
            ly_ctx_get_module_implemented(ctx_, m),
            [](lysc_node *node, void *data, ly_bool *) -> LY_ERR {
                if ((node->flags & LYS_CONFIG_W) && !(node->flags & LYS_KEY) &&
                    (node->nodetype & (LYS_LEAF | LYS_LEAFLIST | LYS_LIST)))
                    static_cast<std::vector<const lysc_node *> *>(data)->push_back(node);
                return LY_SUCCESS;
            },
            &nodes_);
    }
    for (const lysc_node *n : nodes_)
        if (is_hot(n))
            hot_.push_back(n);
    if (lyd_parse_data_mem(ctx_, initial.c_str(), LYD_XML, LYD_PARSE_STRICT | LYD_PARSE_NO_STATE,
                           LYD_VALIDATE_NO_STATE, &running_) != LY_SUCCESS) {
        why = "the initial configuration is not valid";
        return false;
    }
    return true;
}

void Generator::accepted() {
    lyd_free_all(running_);
    running_ = pending_;
    pending_ = nullptr;
}

Commit Generator::next() {
    for (;;) {
        lyd_free_all(pending_);
        pending_ = dup_all(running_);
        Commit c;
        const uint32_t pick = r(100);
        bool made = pick < 55 ? mutate_set(c) : pick < 85 ? mutate_delete(c) : mutate_replace(c);
        if (!made)
            continue;
        c.valid = validate(&pending_);
        if (c.valid || coin(10))
            return c;
    }
}

bool Generator::validate(lyd_node **tree) {
    return lyd_validate_all(tree, ctx_, LYD_VALIDATE_NO_STATE, nullptr) == LY_SUCCESS;
}

std::string Generator::key_value(const lysc_node *key) {
    return random_value(key);
}

bool Generator::random_path(const lysc_node *target, std::string &xpath, std::string &cli) {
    std::vector<const lysc_node *> chain;
    for (const lysc_node *n = target; n; n = n->parent)
        if (n->nodetype & (LYS_CONTAINER | LYS_LIST | LYS_LEAF | LYS_LEAFLIST))
            chain.insert(chain.begin(), n);
    xpath.clear();
    for (const lysc_node *n : chain) {
        xpath += "/";
        if (n == chain.front())
            xpath += std::string(n->module->name) + ":";
        xpath += n->name;
        if (n->nodetype != LYS_LIST)
            continue;
        // An existing entry most of the time, so that changes pile up on the same objects.
        ly_set *set = nullptr;
        std::string key_text;
        const lysc_node *key = lysc_node_child(n);
        if (pending_ && coin(70) && lyd_find_xpath(pending_, xpath.c_str(), &set) == LY_SUCCESS &&
            set->count > 0) {
            const lyd_node *entry = set->dnodes[r(set->count)];
            key_text = value_of(lyd_child(entry));
        } else {
            key_text = key_value(key);
        }
        ly_set_free(set, nullptr);
        if (key_text.empty())
            return false;
        xpath += "[" + std::string(key->name) + "=" + quote(key_text) + "]";
    }
    cli = cli_path(xpath);
    return true;
}

bool Generator::mutate_set(Commit &c) {
    const std::vector<const lysc_node *> &from = hot_.empty() || coin(60) ? nodes_ : hot_;
    const lysc_node *node = from[r(static_cast<uint32_t>(from.size()))];
    std::string xpath, cli;
    if (!random_path(node, xpath, cli))
        return false;
    std::string value;
    if (node->nodetype != LYS_LIST)
        value = random_value(node);
    // Built on its own and merged, as the database applies a set.
    lyd_node *created = nullptr;
    if (lyd_new_path(nullptr, ctx_, xpath.c_str(),
                     node->nodetype == LYS_LIST ? nullptr : value.c_str(), LYD_NEW_PATH_UPDATE,
                     &created) != LY_SUCCESS)
        return false;
    while (lyd_parent(created))
        created = lyd_parent(created);
    if (lyd_merge_siblings(&pending_, created, LYD_MERGE_DESTRUCT) != LY_SUCCESS)
        return false;
    if (node->nodetype == LYS_LEAFLIST && cli.back() == '}')
        cli = cli.substr(0, cli.rfind('{'));
    c.kind = Commit::Set;
    c.path = cli;
    c.value = value;
    return true;
}

bool Generator::mutate_delete(Commit &c) {
    // Any configured node but a list key: a leaf, a whole list entry with everything below it,
    // or every instance of a leaf-list.
    std::vector<lyd_node *> all;
    for (lyd_node *top = pending_; top; top = top->next) {
        lyd_node *elem;
        LYD_TREE_DFS_BEGIN(top, elem) {
            if (!(elem->schema->flags & LYS_KEY) && !(elem->flags & LYD_DEFAULT) &&
                (elem->schema->flags & LYS_CONFIG_W))
                all.push_back(elem);
            LYD_TREE_DFS_END(top, elem);
        }
    }
    if (all.empty())
        return false;
    std::vector<lyd_node *> hot;
    for (lyd_node *n : all)
        if (is_hot(n->schema))
            hot.push_back(n);
    const std::vector<lyd_node *> &pool = hot.empty() || coin(60) ? all : hot;
    lyd_node *victim = pool[r(static_cast<uint32_t>(pool.size()))];
    char *p = lyd_path(victim, LYD_PATH_STD, nullptr, 0);
    std::string xpath = p ? p : "";
    std::free(p);
    if (xpath.empty() || (victim->schema->nodetype == LYS_CONTAINER && !lyd_child(victim)))
        return false;
    c.kind = Commit::Delete;
    c.path = cli_path(xpath);
    // What the database deletes: every node the path names (all instances of a leaf-list).
    std::string plain =
        victim->schema->nodetype == LYS_LEAFLIST ? xpath.substr(0, xpath.rfind('[')) : xpath;
    ly_set *set = nullptr;
    if (lyd_find_xpath(pending_, plain.c_str(), &set) == LY_SUCCESS) {
        for (uint32_t i = 0; i < set->count; ++i) {
            lyd_node *d = set->dnodes[i];
            if (d->schema->nodetype == LYS_CONTAINER && !(d->schema->flags & LYS_PRESENCE)) {
                while (lyd_child(d))
                    lyd_free_tree(lyd_child(d));
                continue;
            }
            if (d == pending_)
                pending_ = pending_->next;
            lyd_free_tree(d);
        }
    }
    ly_set_free(set, nullptr);
    return true;
}

bool Generator::mutate_replace(Commit &c) {
    // A few changes at once, then maybe a rename: one object's name changes everywhere it is
    // named (its leafrefs follow), or in its own entry only (they dangle, and the models refuse).
    for (uint32_t i = 0, n = 1 + r(4); i < n; ++i) {
        Commit ignored;
        if (coin(60))
            mutate_set(ignored);
        else
            mutate_delete(ignored);
    }
    std::string xml = print_xml(pending_);
    if (coin(40)) {
        static const std::regex name_re("<name>([^<]+)</name>");
        std::vector<std::string> names;
        for (std::sregex_iterator it(xml.begin(), xml.end(), name_re), end; it != end; ++it)
            names.push_back((*it)[1]);
        if (!names.empty()) {
            const std::string from = ">" + names[r(static_cast<uint32_t>(names.size()))] + "<";
            const std::string to = ">rn" + std::to_string(r(6)) + "<";
            const bool everywhere = coin(80);
            for (size_t at = xml.find(from); at != std::string::npos;
                 at = everywhere ? xml.find(from, at + to.size()) : std::string::npos)
                xml.replace(at, from.size(), to);
        }
    }
    if (coin(5))
        xml.clear();  // everything goes
    lyd_free_all(pending_);
    pending_ = nullptr;
    if (!xml.empty() && lyd_parse_data_mem(ctx_, xml.c_str(), LYD_XML,
                                           LYD_PARSE_ONLY | LYD_PARSE_STRICT | LYD_PARSE_NO_STATE,
                                           0, &pending_) != LY_SUCCESS)
        return false;
    c.kind = Commit::Replace;
    c.xml = xml;
    return true;
}

std::string Generator::random_value(const lysc_node *node) {
    const lysc_type *type = node->nodetype == LYS_LEAFLIST
                                ? reinterpret_cast<const lysc_node_leaflist *>(node)->type
                                : reinterpret_cast<const lysc_node_leaf *>(node)->type;
    // Values the type takes most of the time; now and then whatever came out.
    std::string v;
    for (int tries = 0; tries < 12; ++tries) {
        v = random_text(node, type);
        if (lyd_value_validate(ctx_, node, v.c_str(), v.size(), nullptr, nullptr, nullptr) ==
                LY_SUCCESS ||
            type->basetype == LY_TYPE_LEAFREF || coin(3))
            break;
    }
    return v;
}

std::string Generator::random_text(const lysc_node *node, const lysc_type *type) {
    auto num = [&](uint64_t lo, uint64_t hi) {
        if (hi - lo < 1000 || coin(50))
            return lo + r(static_cast<uint32_t>(std::min<uint64_t>(hi - lo, 1000) + 1));
        return coin() ? hi : lo + rng_() % (hi - lo);
    };
    auto ip4 = [&] {
        return "10." + std::to_string(r(4)) + "." + std::to_string(r(4)) + "." +
               std::to_string(1 + r(6));
    };
    auto ip6 = [&] { return "2001:db8::" + std::to_string(1 + r(9)); };
    const std::string name = node->name;
    switch (type->basetype) {
        case LY_TYPE_LEAFREF: {
            // An existing target, or now and then a name nobody has.
            const char *expr =
                lyxp_get_expr(reinterpret_cast<const lysc_type_leafref *>(type)->path);
            std::string path;
            for (const char *p = expr; *p;) {
                const char *colon = std::strchr(p, ':');
                const char *slash = std::strchr(p, '/');
                if (colon && (!slash || colon < slash) && *p != '/')
                    p = colon + 1;
                else
                    path += *p++;
            }
            // The first step's module.
            const std::string first = path.substr(1, path.find('/', 1) - 1);
            for (const char *m : kModules) {
                const lys_module *mod = ly_ctx_get_module_implemented(ctx_, m);
                const lysc_node *top = nullptr;
                while ((top = lys_getnext(top, nullptr, mod->compiled, 0)))
                    if (first == top->name)
                        path = "/" + std::string(m) + ":" + path.substr(1);
            }
            ly_set *set = nullptr;
            std::string v = "ghost" + std::to_string(r(3));
            if (pending_ && !coin(4) &&
                lyd_find_xpath(pending_, path.c_str(), &set) == LY_SUCCESS && set->count > 0)
                v = value_of(set->dnodes[r(set->count)]);
            ly_set_free(set, nullptr);
            return v;
        }
        case LY_TYPE_ENUM: {
            const auto *e = reinterpret_cast<const lysc_type_enum *>(type);
            return e->enums[r(LY_ARRAY_COUNT(e->enums))].name;
        }
        case LY_TYPE_BITS: {
            const auto *b = reinterpret_cast<const lysc_type_bits *>(type);
            return b->bits[r(LY_ARRAY_COUNT(b->bits))].name;
        }
        case LY_TYPE_BOOL:
            return coin() ? "true" : "false";
        case LY_TYPE_EMPTY:
            return "";
        case LY_TYPE_UNION: {
            const auto *u = reinterpret_cast<const lysc_type_union *>(type);
            return random_text(node, u->types[r(LY_ARRAY_COUNT(u->types))]);
        }
        case LY_TYPE_UINT8:
        case LY_TYPE_UINT16:
        case LY_TYPE_UINT32:
        case LY_TYPE_UINT64: {
            const auto *t = reinterpret_cast<const lysc_type_num *>(type);
            uint64_t lo = 0, hi = type->basetype == LY_TYPE_UINT8    ? 255
                                  : type->basetype == LY_TYPE_UINT16 ? 65535
                                  : type->basetype == LY_TYPE_UINT32 ? 0xFFFFFFFFull
                                                                     : ~0ull;
            if (t->range && LY_ARRAY_COUNT(t->range->parts)) {
                const auto &part = t->range->parts[r(LY_ARRAY_COUNT(t->range->parts))];
                lo = part.min_u64;
                hi = part.max_u64;
            }
            return std::to_string(num(lo, hi));
        }
        case LY_TYPE_INT8:
        case LY_TYPE_INT16:
        case LY_TYPE_INT32:
        case LY_TYPE_INT64: {
            const auto *t = reinterpret_cast<const lysc_type_num *>(type);
            int64_t lo = 0, hi = 5000;
            if (t->range && LY_ARRAY_COUNT(t->range->parts)) {
                const auto &part = t->range->parts[r(LY_ARRAY_COUNT(t->range->parts))];
                lo = part.min_64;
                hi = std::min<int64_t>(part.max_64, lo + 100000);
            }
            return std::to_string(lo +
                                  static_cast<int64_t>(num(0, static_cast<uint64_t>(hi - lo))));
        }
        default:
            break;
    }
    // Strings: by what the leaf holds.
    if (name == "prefix")
        return "10." + std::to_string(r(4)) + "." + std::to_string(r(2) * 16) + ".0/" +
               std::to_string(16 + r(3) * 4);
    if (name == "next-hop") {
        static const char *odd[] = {"::1.2.3.04", "1.2.3.004", "::ffff:1.2.3.4", "1::2::3",
                                    "12345::",    "::",        "fe80::1%eth0"};
        if (coin(15))
            return odd[r(7)];
        return coin(60) ? ip4() : ip6();
    }
    if (name == "ip" || name == "address" || name == "source" || name == "destination" ||
        name == "redirect-dns")
        return coin(80) ? ip4() : ip6();
    if (name == "id" && node->parent && std::strcmp(node->parent->name, "vpn") == 0) {
        const uint32_t a = r(40);
        return coin(60) ? std::to_string(a) : std::to_string(a) + "-" + std::to_string(a + r(10));
    }
    if (name == "source-port" || name == "destination-port" || name == "packet-length") {
        const uint32_t a = r(2000);
        return coin() ? std::to_string(a) : std::to_string(a) + "-" + std::to_string(a + r(500));
    }
    if (name == "if-name" ||
        (name == "name" && node->parent && std::strcmp(node->parent->name, "interface") == 0))
        return "ge0/" + std::to_string(r(5));
    if (name == "sla-class")
        return coin(20) ? "__all_tunnels__" : "sl" + std::to_string(r(4));
    if (name == "description")
        return "d" + std::to_string(r(9));
    // Names: a small pool per kind of list, so that names meet again and leafrefs find them.
    const std::string kind = node->parent ? std::string(node->parent->name).substr(0, 2) : "x";
    return kind + std::to_string(r(5));
}

}  // namespace cfgfuzz
