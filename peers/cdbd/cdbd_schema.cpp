// Loading of the YANG modules, the tags and namespaces computed for them, and the data trees
// built on them.
#include "peers/cdbd/cdbd_schema.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <libyang/plugins_types.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <tuple>

#include "platform/confd/confd_cdb.h"
#include "platform/confd/confd_wire.h"

namespace cdbd {

namespace {

constexpr const char *kExtModule = "plx-ext";
constexpr const char *kExtName = "id-value";

bool pinned_value(const lysc_ext_instance *exts, bool module_level, uint32_t &out) {
    LY_ARRAY_COUNT_TYPE i;
    LY_ARRAY_FOR(exts, i) {
        const lysc_ext_instance &e = exts[i];
        if (!e.def || !e.def->name || !e.def->module || strcmp(e.def->name, kExtName) != 0 ||
            strcmp(e.def->module->name, kExtModule) != 0 || !e.argument)
            continue;
        // Instances written on a uses or augment also reach the target node: keep only those
        // written in the node (or the module) itself.
        const bool own = module_level ? e.parent_stmt == LY_STMT_MODULE
                                      : (e.parent_stmt & (LY_STMT_DATA_NODE_MASK | LY_STMT_OP_MASK |
                                                          LY_STMT_NOTIFICATION)) != 0;
        if (!own)
            continue;
        char *end = nullptr;
        errno = 0;
        unsigned long long v = strtoull(e.argument, &end, 10);
        if (errno || end == e.argument || *end || v > 0xffffffffull)
            continue;
        out = static_cast<uint32_t>(v);
        return true;
    }
    return false;
}

}  // namespace

std::vector<const lysc_node *> list_keys(const lysc_node *list) {
    std::vector<const lysc_node *> keys;
    for (const lysc_node *c = lysc_node_child(list); c; c = c->next)
        if (lysc_is_key(c))
            keys.push_back(c);
    return keys;
}

DataTree &DataTree::operator=(DataTree &&o) noexcept {
    if (this != &o) {
        reset(o.root);
        o.root = nullptr;
    }
    return *this;
}

DataTree::~DataTree() {
    lyd_free_all(root);
}

void DataTree::reset(lyd_node *r) {
    if (root != r)
        lyd_free_all(root);
    root = r;
}

bool DataTree::dup_from(const lyd_node *src) {
    lyd_node *copy = nullptr;
    if (src &&
        lyd_dup_siblings(src, nullptr, LYD_DUP_RECURSIVE | LYD_DUP_WITH_FLAGS, &copy) != LY_SUCCESS)
        return false;
    reset(copy);
    return true;
}

std::string ly_error_text(const ly_ctx *ctx) {
    const ly_err_item *e = ly_err_last(ctx);
    if (!e || !e->msg)
        return "unknown error";
    std::string s = e->msg;
    if (e->path && *e->path && s.find(e->path) == std::string::npos)
        s += std::string(" (path ") + e->path + ")";
    return s;
}

SchemaDb::~SchemaDb() {
    if (ctx_)
        ly_ctx_destroy(ctx_);
}

bool SchemaDb::load(const std::string &dir, std::string &err) {
    if (ly_ctx_new(dir.c_str(), LY_CTX_NO_YANGLIBRARY, &ctx_) != LY_SUCCESS) {
        err = "cannot create the schema context for " + dir;
        return false;
    }
    ly_log_options(LY_LOSTORE_LAST);
    DIR *d = opendir(dir.c_str());
    if (!d) {
        err = "cannot read the YANG directory " + dir + ": " + strerror(errno);
        return false;
    }
    std::vector<std::string> files;
    while (dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name.size() > 5 && name.compare(name.size() - 5, 5, ".yang") == 0)
            files.push_back(name);
    }
    closedir(d);
    std::sort(files.begin(), files.end());
    const char *all_features[] = {"*", nullptr};
    for (const auto &f : files) {
        std::string mod = f.substr(0, f.size() - 5);
        mod = mod.substr(0, mod.find('@'));
        // Submodules are loaded through their module.
        std::string text;
        if (FILE *fp = fopen((dir + "/" + f).c_str(), "r")) {
            char buf[256];
            size_t n = fread(buf, 1, sizeof buf - 1, fp);
            buf[n] = 0;
            text = buf;
            fclose(fp);
        }
        size_t first = text.find_first_not_of(" \t\r\n");
        if (first != std::string::npos && text.compare(first, 9, "submodule") == 0)
            continue;
        const lys_module *m = ly_ctx_load_module(ctx_, mod.c_str(), nullptr, all_features);
        if (!m) {
            err = "cannot load YANG module " + f + ": " + ly_error_text(ctx_);
            return false;
        }
        modules_.push_back(m);
    }
    return compute_tags(err);
}

bool SchemaDb::compute_tags(std::string &err) {
    std::vector<const lysc_node *> nodes;
    auto collect = [&](const lysc_node *root) {
        lysc_tree_dfs_full(
            root,
            [](lysc_node *node, void *data, ly_bool *) -> LY_ERR {
                static_cast<std::vector<const lysc_node *> *>(data)->push_back(node);
                return LY_SUCCESS;
            },
            &nodes);
    };
    for (const lys_module *m : modules_) {
        if (!m->compiled)
            continue;
        for (const lysc_node *n = m->compiled->data; n; n = n->next)
            collect(n);
        for (const lysc_node_action *n = m->compiled->rpcs; n;
             n = reinterpret_cast<const lysc_node_action *>(n->next))
            collect(&n->node);
        for (const lysc_node_notif *n = m->compiled->notifs; n;
             n = reinterpret_cast<const lysc_node_notif *>(n->next))
            collect(&n->node);
    }
    std::unordered_map<std::string, uint32_t> pinned;
    for (const lysc_node *n : nodes) {
        uint32_t v;
        if (!pinned_value(n->exts, false, v))
            continue;
        auto [it, fresh] = pinned.emplace(n->name, v);
        if (!fresh && it->second != v) {
            err = std::string("name '") + n->name + "' is pinned to two tags, " +
                  std::to_string(it->second) + " and " + std::to_string(v);
            return false;
        }
    }
    std::unordered_map<uint32_t, std::string> tag_name;
    for (const lysc_node *n : nodes) {
        if (n->nodetype & (LYS_INPUT | LYS_OUTPUT))
            continue;
        auto it = pinned.find(n->name);
        const uint32_t t = it != pinned.end() ? it->second : confd_wire::name_hash(n->name);
        auto [tn, fresh] = tag_name.emplace(t, n->name);
        if (!fresh && tn->second != n->name) {
            err = "tag " + std::to_string(t) + " of '" + n->name + "' collides with '" +
                  tn->second + "'";
            return false;
        }
        tags_[n] = t;
        name_tag_[n->name] = t;
    }
    std::unordered_map<uint32_t, const lys_module *> ns_mod;
    for (const lys_module *m : modules_) {
        uint32_t v;
        if (!(m->compiled && pinned_value(m->compiled->exts, true, v)))
            v = confd_wire::name_hash(m->ns);
        auto [it, fresh] = ns_mod.emplace(v, m);
        if (!fresh) {
            err = "namespace " + std::to_string(v) + " of module " + m->name +
                  " collides with module " + it->second->name;
            return false;
        }
        ns_[m] = v;
    }
    return true;
}

uint32_t SchemaDb::tag(const lysc_node *node) const {
    auto it = tags_.find(node);
    return it != tags_.end() ? it->second : confd_wire::name_hash(node->name);
}

uint32_t SchemaDb::ns(const lys_module *mod) const {
    auto it = ns_.find(mod);
    return it != ns_.end() ? it->second : confd_wire::name_hash(mod->ns);
}

std::string plx_ext_arg(const lysc_node *node, const char *ext_name) {
    if (!node)
        return "";
    LY_ARRAY_COUNT_TYPE i;
    LY_ARRAY_FOR(node->exts, i) {
        const lysc_ext_instance &e = node->exts[i];
        if (e.def && e.def->name && e.def->module && strcmp(e.def->name, ext_name) == 0 &&
            strcmp(e.def->module->name, kExtModule) == 0 && e.argument)
            return e.argument;
    }
    return "";
}

}  // namespace cdbd
