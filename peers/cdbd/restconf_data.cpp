#include "peers/cdbd/restconf_data.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <utility>
#include <vector>

#include "peers/cdbd/cdbcli_oper.h"
#include "peers/cdbd/cdbcli_oper_print.h"
#include "peers/cdbd/restconf_text.h"
#include "platform/confd/confd_client.h"

using confd_wire::EditMode;
using confd_wire::Op;
using confd_wire::WireReader;
using confd_wire::WireWriter;

namespace cdbd::restconf {

namespace {

// A child of parent (or a top-level node of mod) by name, looking through choices and cases
// and at actions.
const lysc_node *find_child(const lysc_node *parent, const lys_module *mod, std::string_view name) {
    const lysc_node *n = nullptr;
    while ((n = lys_getnext(n, parent, parent ? nullptr : mod->compiled, 0)))
        if (name == n->name && (!mod || n->module == mod))
            return n;
    if (parent)
        for (const lysc_node_action *a = lysc_node_actions(parent); a;
             a = reinterpret_cast<const lysc_node_action *>(a->next))
            if (name == a->name && (!mod || a->module == mod))
                return &a->node;
    return nullptr;
}

std::string print_tree(const lyd_node *first, Format f) {
    char *text = nullptr;
    if (!first || lyd_print_mem(&text, first, f == Format::Xml ? LYD_XML : LYD_JSON,
                                LYD_PRINT_WITHSIBLINGS) != LY_SUCCESS)
        return f == Format::Xml ? "" : "{}\n";
    std::string s = text ? text : "";
    free(text);
    return s;
}

// Status and error tag of a database error.
std::pair<int, const char *> http_of(int code) {
    switch (code) {
        case CONFD_ERR_NOEXISTS:
        case CONFD_ERR_BADPATH:
            return {404, "invalid-value"};
        case CONFD_ERR_ALREADY_EXISTS:
            return {409, "data-exists"};
        case CONFD_ERR_ACCESS_DENIED:
            return {403, "access-denied"};
        case CONFD_ERR_NOT_WRITABLE:
            return {405, "operation-not-supported"};
        case CONFD_ERR_UNAVAILABLE:
            return {503, "resource-denied"};
        case CONFD_ERR_VALIDATION:
        case CONFD_ERR_BADTYPE:
        case CONFD_ERR_BAD_KEYREF:
        case CONFD_ERR_NON_UNIQUE:
        case CONFD_ERR_TOO_FEW_ELEMS:
        case CONFD_ERR_TOO_MANY_ELEMS:
        case CONFD_ERR_NOTCREATABLE:
        case CONFD_ERR_NOTDELETABLE:
            return {400, "invalid-value"};
        case CONFD_ERR_EXTERNAL:
            return {400, "operation-failed"};
        default:
            return {500, "operation-failed"};
    }
}

Response db_error(int code, const std::string &msg, Format f) {
    auto [status, tag] = http_of(code);
    return error(status, tag, msg, f);
}

struct Tree {
    lyd_node *root = nullptr;
    Tree() = default;
    Tree(const Tree &) = delete;
    Tree &operator=(const Tree &) = delete;
    ~Tree() { lyd_free_all(root); }
};

// Parses data printed by the database or the operational walk (no validation: a subtree).
bool parse_printed(ly_ctx *ctx, const std::string &text, Format f, Tree &t) {
    if (text.empty())
        return true;
    return lyd_parse_data_mem(ctx, text.c_str(), f == Format::Xml ? LYD_XML : LYD_JSON,
                              LYD_PARSE_ONLY, 0, &t.root) == LY_SUCCESS;
}

}  // namespace

// What a request's path names.
struct DataApi::Target {
    bool root = true;  // the datastore itself
    const lysc_node *schema = nullptr;
    std::string cli_path;      // "/a/b{k1 k2}/c"
    std::string schema_path;   // "/a/b/c"
    std::string xpath;         // "/m:a/m:b[k1='v'][k2='w']/m:c"
    std::string parent_xpath;  // the parent data node ("" at the top)
    bool keyed = true;         // every list on the way has its keys
};

DataApi::~DataApi() {
    reset_connection();
}

bool DataApi::init(std::string &err) {
    return schema_.load(opts_.yang_dir, err);
}

int DataApi::connection(std::string &err) {
    if (fd_ >= 0)
        return fd_;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || confd_client::connect_sock(fd, nullptr, 0, confd_wire::WireSock::Cli,
                                             "restconf") != CONFD_OK) {
        err = std::string("cannot reach the database: ") + confd_lasterr();
        if (fd >= 0)
            close(fd);
        return -1;
    }
    if (!schemas_loaded_) {
        if (confd_load_schemas(nullptr, 0) != CONFD_OK) {
            err = std::string("cannot load the schema: ") + confd_lasterr();
            confd_client::forget_sock(fd);
            close(fd);
            return -1;
        }
        schemas_loaded_ = true;
    }
    fd_ = fd;
    return fd_;
}

void DataApi::reset_connection() {
    if (fd_ < 0)
        return;
    confd_client::forget_sock(fd_);
    close(fd_);
    fd_ = -1;
}

bool DataApi::exchange(const std::vector<uint8_t> &frame, std::vector<uint8_t> &reply, int &code,
                       std::string &msg) {
    std::string err;
    int fd = connection(err);
    if (fd < 0) {
        code = CONFD_ERR_UNAVAILABLE;
        msg = err;
        return false;
    }
    int rc = confd_client::request(fd, frame, reply);
    if (rc != CONFD_OK) {
        code = rc == CONFD_EOF ? CONFD_ERR_UNAVAILABLE : confd_errno;
        msg = confd_lasterr();
        if (rc == CONFD_EOF)
            reset_connection();
        return false;
    }
    return true;
}

bool DataApi::show(const std::string &cli_path, bool oper, std::string &json, int &code,
                   std::string &msg) {
    WireWriter w(Op::CliShow);
    w.str(cli_path);
    w.u8(1);  // JSON
    w.u8(oper ? 1 : 0);
    std::vector<uint8_t> reply;
    if (!exchange(w.finish(), reply, code, msg))
        return false;
    WireReader r(reply.data(), reply.size());
    return r.str(json);
}

bool DataApi::commit(const std::string &json, bool replace, int &code, std::string &msg) {
    WireWriter w(Op::CliEdit);
    w.u8(static_cast<uint8_t>(replace ? EditMode::Replace : EditMode::Merge));
    w.u8(1);  // JSON
    w.str(json);
    std::vector<uint8_t> reply;
    return exchange(w.finish(), reply, code, msg);
}

bool DataApi::run_action(const std::string &path,
                         const std::vector<std::pair<std::string, std::string>> &params,
                         std::string &printed, int &code, std::string &msg) {
    std::string err;
    int fd = connection(err);
    if (fd < 0) {
        code = CONFD_ERR_UNAVAILABLE;
        msg = err;
        return false;
    }
    WireWriter w(Op::CliAction);
    w.str(path);
    w.u32(static_cast<uint32_t>(params.size()));
    for (const auto &[name, value] : params) {
        w.str(name);
        w.str(value);
    }
    const auto &frame = w.finish();
    if (confd_wire::send_all(fd, frame.data(), frame.size()) != 0) {
        reset_connection();
        code = CONFD_ERR_UNAVAILABLE;
        msg = "the database closed the connection";
        return false;
    }
    for (;;) {
        confd_wire::Frame reply;
        if (confd_wire::read_frame(fd, reply) != 0) {
            reset_connection();
            code = CONFD_ERR_UNAVAILABLE;
            msg = "the database closed the connection";
            return false;
        }
        WireReader r(reply.payload.data(), reply.payload.size());
        if (reply.op == Op::CliOutput) {
            std::string text;
            r.str(text);
            printed += text;
            continue;
        }
        if (reply.status != confd_wire::kStatusOk) {
            int32_t c = 0;
            r.i32(c);
            r.str(msg);
            code = c;
            return false;
        }
        return true;
    }
}

Response DataApi::handle(std::string_view method, std::string_view path, const std::string &body,
                         Format in, Format out) {
    Target t;
    // Resolve the api path against the models.
    std::string_view rest = path;
    while (!rest.empty() && rest.front() == '/')
        rest.remove_prefix(1);
    const ly_ctx *ctx = schema_.ctx();
    if (!rest.empty()) {
        t.root = false;
        const lysc_node *parent = nullptr;
        for (std::string_view seg : split(rest, '/')) {
            const size_t eq = seg.find('=');
            const std::string ident = pct_decode(seg.substr(0, eq));
            const lys_module *mod = nullptr;
            std::string name = ident;
            if (auto colon = ident.find(':'); colon != std::string::npos) {
                mod = ly_ctx_get_module_implemented(ctx, ident.substr(0, colon).c_str());
                name = ident.substr(colon + 1);
                if (!mod)
                    return error(404, "invalid-value", "unknown module in " + ident, out);
            } else if (!parent) {
                return error(400, "invalid-value",
                             "the first element names its module (module:" + ident + ")", out);
            }
            if (t.schema && (t.schema->nodetype & (LYS_LEAF | LYS_LEAFLIST | LYS_ACTION)))
                return error(404, "invalid-value", "nothing below " + std::string(t.schema->name),
                             out);
            const lysc_node *n = find_child(parent, mod, name);
            if (!n)
                return error(404, "invalid-value", "unknown resource " + ident, out);
            if (!t.keyed)
                return error(400, "invalid-value",
                             "list " + std::string(t.schema->name) + " needs its keys", out);
            t.parent_xpath = t.xpath;
            t.xpath += "/" + std::string(n->module->name) + ":" + n->name;
            t.cli_path += "/" + std::string(n->name);
            t.schema_path += "/" + std::string(n->name);
            if (n->nodetype == LYS_LIST || n->nodetype == LYS_LEAFLIST) {
                if (eq == std::string_view::npos) {
                    t.keyed = false;
                } else {
                    std::vector<std::string> values;
                    for (std::string_view v : split(seg.substr(eq + 1), ','))
                        values.push_back(pct_decode(v));
                    std::vector<const lysc_node *> keys =
                        n->nodetype == LYS_LIST ? list_keys(n) : std::vector<const lysc_node *>{n};
                    if (values.size() != keys.size())
                        return error(400, "invalid-value",
                                     std::string(n->name) + " takes " +
                                         std::to_string(keys.size()) + " key(s)",
                                     out);
                    std::string cli;
                    for (size_t k = 0; k < keys.size(); ++k) {
                        std::string lit, ck;
                        if (!xpath_literal(values[k], lit) || !cli_key(values[k], ck))
                            return error(400, "invalid-value", "a key with both quotes", out);
                        t.xpath += "[" +
                                   std::string(n->nodetype == LYS_LIST ? keys[k]->name : ".") +
                                   "=" + lit + "]";
                        cli += (k ? " " : "") + ck;
                    }
                    t.cli_path += "{" + cli + "}";
                }
            } else if (eq != std::string_view::npos) {
                return error(400, "invalid-value", std::string(n->name) + " has no keys", out);
            }
            t.schema = n;
            parent = n;
        }
    }

    const bool is_action = t.schema && t.schema->nodetype == LYS_ACTION;
    if (method == "GET" || method == "HEAD") {
        if (is_action)
            return error(405, "operation-not-supported", "an action is invoked by POST", out);
        return get(t, out);
    }
    if (method == "POST" && is_action)
        return action(t, body, in, out);
    if (is_action)
        return error(405, "operation-not-supported", "an action is invoked by POST", out);
    if (method == "DELETE")
        return remove(t, out);
    if (method == "PUT" || method == "PATCH" || method == "POST")
        return write(method, t, body, in, out);
    return error(405, "operation-not-supported", std::string(method) + " is not supported", out);
}

Response DataApi::get(const Target &t, Format out) {
    ly_ctx *ctx = schema_.ctx();
    int code = 0;
    std::string msg;
    Tree tree;
    if (t.root) {
        // The configuration and the stored operational data; provided lists are read at their
        // own paths.
        std::string config, oper;
        if (!show("", false, config, code, msg) || !show("", true, oper, code, msg))
            return db_error(code, msg, out);
        Tree o;
        if (!parse_printed(ctx, config, Format::Json, tree) ||
            !parse_printed(ctx, oper, Format::Json, o))
            return error(500, "operation-failed", ly_error_text(ctx), out);
        if (o.root) {
            lyd_merge_siblings(&tree.root, o.root, LYD_MERGE_DESTRUCT);
            o.root = nullptr;
        }
        Response r;
        r.content_type = content_type(out);
        std::string inner = print_tree(tree.root, out);
        if (out == Format::Xml) {
            r.body =
                "<data xmlns=\"urn:ietf:params:xml:ns:yang:ietf-restconf\">" + inner + "</data>\n";
        } else {
            // {"m:a": ...} becomes {"ietf-restconf:data": {"m:a": ...}}.
            r.body =
                "{\"ietf-restconf:data\":" + (inner.empty() ? std::string("{}") : inner) + "}\n";
        }
        return r;
    }
    std::string text;
    const bool config = t.schema->flags & LYS_CONFIG_W;
    std::string err;
    int fd = connection(err);  // also loads the schema is_provided reads
    if (fd < 0)
        return error(503, "resource-denied", err, out);
    if (!config && cdbcli::is_provided(t.cli_path)) {
        // Printed straight from the walk, from the resource down: no second parse.
        Response r;
        r.content_type = content_type(out);
        // The printers keep a reference to their output: it lives as long as they do.
        const cdbcli::OperOut printer = [&r](std::string_view s) {
            r.body.append(s.data(), s.size());
        };
        auto inner =
            out == Format::Xml ? cdbcli::make_xml_sink(printer) : cdbcli::make_json_sink(printer);
        FocusSink sink(*inner, confd_cs_node_cd(nullptr, "%s", t.schema_path.c_str()));
        if (!cdbcli::oper_walk(fd, t.cli_path, sink, err)) {
            reset_connection();
            return error(err.find("does not exist") != std::string::npos ? 404 : 500,
                         "operation-failed", err, out);
        }
        if (!sink.shown() && t.keyed)
            return error(404, "invalid-value", t.cli_path + " does not exist", out);
        return r;
    } else if (!show(t.cli_path, !config, text, code, msg)) {
        return db_error(code, msg, out);
    }
    if (!parse_printed(ctx, text, Format::Json, tree))
        return error(500, "operation-failed", ly_error_text(ctx), out);
    // The target's instances, detached from their parents so that they print as the resource.
    ly_set *set = nullptr;
    if (!tree.root || lyd_find_xpath(tree.root, t.xpath.c_str(), &set) != LY_SUCCESS ||
        set->count == 0) {
        ly_set_free(set, nullptr);
        if (!t.keyed && t.schema->nodetype == LYS_LIST) {
            Response r;
            r.content_type = content_type(out);
            r.body = out == Format::Xml ? "" : "{}\n";
            return r;
        }
        return error(404, "invalid-value", t.cli_path + " does not exist", out);
    }
    Tree resource;
    for (uint32_t i = 0; i < set->count; ++i) {
        lyd_node *n = set->dnodes[i];
        if (n == tree.root)
            tree.root = n->next;  // a top-level node leaves the forest's head
        lyd_unlink_tree(n);
        lyd_insert_sibling(resource.root, n, &resource.root);
    }
    ly_set_free(set, nullptr);
    Response r;
    r.content_type = content_type(out);
    r.body = print_tree(resource.root, out);
    return r;
}

Response DataApi::write(std::string_view method, const Target &t, const std::string &body,
                        Format in, Format out) {
    ly_ctx *ctx = schema_.ctx();
    if (t.schema && !(t.schema->flags & LYS_CONFIG_W))
        return error(405, "operation-not-supported", t.cli_path + " is operational data", out);
    if (t.root && method != "POST")
        return error(405, "operation-not-supported", "the datastore is written by POST", out);
    if (!t.keyed && method != "POST")
        return error(400, "invalid-value", "a list entry needs its keys", out);
    if (body.find_first_not_of(" \t\r\n") == std::string::npos)
        return error(400, "malformed-message", "the request has no body", out);
    const bool post = method == "POST";
    // The body holds the target (PUT, PATCH) or a new child of it (POST); it is parsed below
    // its parent so that the edit carries the whole path from the top.
    const std::string &under = post ? t.xpath : t.parent_xpath;
    Tree edit;
    lyd_node *parent = nullptr;
    if (!under.empty()) {
        if (lyd_new_path(nullptr, ctx, under.c_str(), nullptr, 0, &edit.root) != LY_SUCCESS ||
            lyd_find_path(edit.root, under.c_str(), 0, &parent) != LY_SUCCESS)
            return error(400, "invalid-value", ly_error_text(ctx), out);
    }
    ly_in *lin = nullptr;
    ly_in_new_memory(body.c_str(), &lin);
    lyd_node *parsed = nullptr;
    const LY_ERR prc = lyd_parse_data(ctx, parent, lin, in == Format::Xml ? LYD_XML : LYD_JSON,
                                      LYD_PARSE_ONLY | LYD_PARSE_STRICT | LYD_PARSE_NO_STATE, 0,
                                      parent ? nullptr : &parsed);
    ly_in_free(lin, 0);
    if (!parent)
        edit.root = parsed;
    if (prc != LY_SUCCESS)
        return error(400, "malformed-message", "invalid body: " + ly_error_text(ctx), out);
    // Exactly one node, and for PUT and PATCH the one the path names.
    const lyd_node *first = parent ? lyd_child(parent) : edit.root;
    while (first && parent && lysc_is_key(first->schema))
        first = first->next;
    int count = 0;
    for (const lyd_node *n = first; n; n = n->next)
        ++count;
    if (count != 1)
        return error(400, "malformed-message", "the body holds one resource", out);
    const lyd_node *node = first;
    if (!post) {
        lyd_node *found = nullptr;
        if (node->schema != t.schema ||
            lyd_find_path(edit.root, t.xpath.c_str(), 0, &found) != LY_SUCCESS || found != node)
            return error(400, "invalid-value", "the body names another resource than the path",
                         out);
    }
    // The running configuration decides whether the resource exists.
    int code = 0;
    std::string msg, running;
    if (!show("", false, running, code, msg))
        return db_error(code, msg, out);
    Tree cur;
    if (!parse_printed(ctx, running, Format::Json, cur))
        return error(500, "operation-failed", ly_error_text(ctx), out);
    char *node_path = lyd_path(node, LYD_PATH_STD, nullptr, 0);
    lyd_node *existing = nullptr;
    ly_set *found = nullptr;
    if (cur.root && node_path && lyd_find_xpath(cur.root, node_path, &found) == LY_SUCCESS)
        for (uint32_t i = 0; i < found->count && !existing; ++i) {
            // The instance with exactly this path (not one of the same name elsewhere).
            char *p = lyd_path(found->dnodes[i], LYD_PATH_STD, nullptr, 0);
            if (p && strcmp(p, node_path) == 0)
                existing = found->dnodes[i];
            free(p);
        }
    ly_set_free(found, nullptr);
    free(node_path);
    const std::string location = "/restconf/data" + api_path(node);

    Response r;
    r.status = existing ? 204 : 201;
    if (post && existing)
        return error(409, "data-exists", "the resource exists already", out);
    if (method == "PATCH" && !existing)
        return error(404, "invalid-value", t.cli_path + " does not exist", out);
    bool replace = false;
    std::string doc;
    if (method == "PUT") {
        // The whole configuration with the resource replaced: one commit.
        if (existing) {
            if (existing == cur.root)
                cur.root = cur.root->next;
            lyd_free_tree(existing);
        }
        lyd_merge_siblings(&cur.root, edit.root, LYD_MERGE_DESTRUCT);
        edit.root = nullptr;
        doc = print_tree(cur.root, Format::Json);
        replace = true;
    } else {
        doc = print_tree(edit.root, Format::Json);
    }
    if (!commit(doc, replace, code, msg))
        return db_error(code, msg, out);
    if (r.status == 201)
        r.location = location;
    return r;
}

Response DataApi::remove(const Target &t, Format out) {
    if (t.root)
        return error(405, "operation-not-supported", "the datastore cannot be deleted", out);
    if (!(t.schema->flags & LYS_CONFIG_W))
        return error(405, "operation-not-supported", t.cli_path + " is operational data", out);
    if (!t.keyed)
        return error(400, "invalid-value", "a list entry needs its keys", out);
    std::string err;
    int fd = connection(err);
    if (fd < 0)
        return error(503, "resource-denied", err, out);
    WireWriter w(Op::CliDelete);
    w.str(t.cli_path);
    std::vector<uint8_t> reply;
    int rc = confd_client::request(fd, w.finish(), reply);
    if (rc != CONFD_OK) {
        if (rc == CONFD_EOF)
            reset_connection();
        if (confd_errno == CONFD_ERR_NOEXISTS)
            return error(404, "data-missing", confd_lasterr(), out);
        return db_error(rc == CONFD_EOF ? CONFD_ERR_UNAVAILABLE : confd_errno, confd_lasterr(),
                        out);
    }
    Response r;
    r.status = 204;
    return r;
}

Response DataApi::action(const Target &t, const std::string &body, Format in, Format out) {
    std::vector<std::pair<std::string, std::string>> params;
    if (in == Format::Xml && body.find_first_not_of(" \t\r\n") != std::string::npos)
        return error(415, "operation-not-supported", "action input is taken as JSON", out);
    if (!parse_input(body, params))
        return error(400, "malformed-message",
                     "the input is {\"module:input\": {\"leaf\": value, ...}}", out);
    std::string printed, msg;
    int code = 0;
    if (!run_action(t.cli_path, params, printed, code, msg))
        return db_error(code, msg, out);
    Response r;
    r.content_type = content_type(out);
    const std::string mod = t.schema->module->name;
    if (out == Format::Xml)
        r.body = "<output xmlns=\"" + std::string(t.schema->module->ns) + "\"><printed>" +
                 xml_escape(printed) + "</printed></output>\n";
    else
        r.body = "{\"" + mod + ":output\":{\"printed\":" + json_quote(printed) + "}}\n";
    return r;
}

}  // namespace cdbd::restconf
