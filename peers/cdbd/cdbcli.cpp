// cdbcli: the operator's command line for the configuration database.
//
// Every command is one transaction: a commit returns once every subscriber has taken the
// change, and an invalid one changes nothing and says what is wrong and where.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <map>
#include <thread>

#include "peers/cdbd/cdbcli_oper.h"
#include "platform/confd/confd_client.h"

using confd_wire::EditMode;
using confd_wire::Op;
using confd_wire::WireReader;
using confd_wire::WireWriter;

namespace {

const char kUsage[] =
    "usage: cdbcli [--addr A] [--port N] COMMAND\n"
    "commands:\n"
    "  load [--replace] [--format xml|json] FILE  merge a configuration file (or replace all)\n"
    "  set PATH [VALUE]            set a leaf, or create a list entry or container\n"
    "  delete PATH                 delete a node and everything below it\n"
    "  show [PATH] [--format xml|json|text]    show the running configuration, or the\n"
    "                              operational lists daemons provide (as tables by default)\n"
    "  oper show [PATH] [--format xml|json|text]\n"
    "  oper get PATH               print an operational value\n"
    "  oper set PATH [VALUE]       write an operational value (or create an entry)\n"
    "  oper delete PATH            delete operational data\n"
    "  status                      start phase, connections and subscriptions\n"
    "  phase [next|1|2]            show or advance the start phase\n"
    "  watch [--trigger] PRIO[/DELPRIO]:PATH ...  subscribe and print every notification\n"
    "  request PATH [NAME VALUE]...  run an action, print what it prints and its result\n"
    "  notifications [--format xml] [--follow]  notifications daemons sent (and new ones)\n"
    "paths: /policy/lists/vpn-list{corp}/vpn{10} (keys in braces, blank-separated)\n";

int fail(const std::string &msg) {
    fprintf(stderr, "cdbcli: error: %s\n", msg.c_str());
    return 1;
}

int format_code(const std::string &f, int &out) {
    if (f == "xml")
        out = 0;
    else if (f == "json")
        out = 1;
    else if (f == "text")
        out = 2;
    else
        return -1;
    return 0;
}

// Sends one request; prints the reply text (if any) and returns the exit status.
int call(int fd, const std::vector<uint8_t> &frame, bool print_text) {
    std::vector<uint8_t> reply;
    int rc = confd_client::request(fd, frame, reply);
    if (rc == CONFD_EOF)
        return fail("the database closed the connection");
    if (rc != CONFD_OK)
        return fail(confd_lasterr());
    if (print_text) {
        WireReader r(reply.data(), reply.size());
        std::string text;
        if (r.str(text) && !text.empty())
            fputs(text.back() == '\n' ? text.c_str() : (text + "\n").c_str(), stdout);
    }
    return 0;
}

const char *op_text(int op) {
    switch (op) {
        case MOP_CREATED:
            return "created";
        case MOP_DELETED:
            return "deleted";
        case MOP_MODIFIED:
            return "modified";
        case MOP_VALUE_SET:
            return "value set";
        default:
            return "other";
    }
}

std::string tvs_text(const confd_tag_value_t *tv, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) {
        const char *name = confd_hash2str(tv[i].tag.tag);
        std::string nm = name ? name : std::to_string(tv[i].tag.tag);
        char buf[256];
        s += s.empty() ? "" : " ";
        if (tv[i].v.type == C_XMLBEGIN)
            s += "<" + nm + ">";
        else if (tv[i].v.type == C_XMLEND)
            s += "</" + nm + ">";
        else if (tv[i].v.type == C_NOEXISTS)
            s += nm + "=(deleted)";
        else if (confd_pp_value(buf, sizeof buf, &tv[i].v) >= 0)
            s += nm + "=" + buf;
        confd_free_value(const_cast<confd_value_t *>(&tv[i].v));
    }
    return s;
}

int g_watch_fd = -1;

enum cdb_iter_ret watch_iter(confd_hkeypath_t *kp, enum cdb_iter_op op, confd_value_t *,
                             confd_value_t *, void *) {
    char path[512];
    confd_pp_kpath(path, sizeof path, kp);
    printf("    %s %s", op_text(op), path);
    if (op != MOP_DELETED) {
        confd_tag_value_t *tv = nullptr;
        int n = 0;
        if (cdb_get_modifications_iter(g_watch_fd, 0, &tv, &n) == CONFD_OK) {
            printf(": %s", tvs_text(tv, n).c_str());
            free(tv);
        }
    }
    printf("\n");
    return ITER_CONTINUE;
}

// Subscribes the given paths and prints every notification until the server goes away.
int watch(const std::vector<std::string> &specs, bool trigger) {
    if (confd_load_schemas(nullptr, 0) != CONFD_OK)
        return fail(std::string("cannot load the schema: ") + confd_lasterr());
    g_watch_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (cdb_connect_name(g_watch_fd, CDB_SUBSCRIPTION_SOCKET, nullptr, 0, "cdbcli watch") !=
        CONFD_OK)
        return fail(confd_lasterr());
    std::map<int, std::pair<std::string, bool>> points;  // id -> (label, keyless)
    std::vector<int> add_points;
    for (const auto &spec : specs) {
        auto colon = spec.find(':');
        if (colon == std::string::npos)
            return fail("watch takes PRIO[/DELPRIO]:PATH, not " + spec);
        const std::string path = spec.substr(colon + 1);
        int prio = atoi(spec.c_str()), del = 0;
        if (auto slash = spec.find('/'); slash != std::string::npos && slash < colon)
            del = atoi(spec.c_str() + slash + 1);
        const confd_cs_node *node = confd_cs_node_cd(nullptr, "/%s", path.c_str());
        const bool keyless = node && !(node->info.flags & CS_NODE_IS_LIST);
        for (int p : {prio, del}) {
            if (p == 0)
                continue;
            int id = 0;
            if (cdb_subscribe(g_watch_fd, p, 0, &id, "%s", path.c_str()) != CONFD_OK)
                return fail(path + ": " + confd_lasterr());
            points[id] = {path + (p == prio ? " (add " : " (delete ") + std::to_string(p) + ")",
                          keyless};
            if (p == prio)
                add_points.push_back(id);
        }
    }
    if (cdb_subscribe_done(g_watch_fd) != CONFD_OK)
        return fail(confd_lasterr());
    printf("watching %zu point(s)\n", points.size());
    fflush(stdout);
    std::thread trig;
    if (trigger) {
        trig = std::thread([&add_points] {
            int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (cdb_connect(fd, CDB_DATA_SOCKET, nullptr, 0) != CONFD_OK ||
                cdb_trigger_subscriptions(fd, add_points.data(),
                                          static_cast<int>(add_points.size())) != CONFD_OK)
                fprintf(stderr, "cdbcli: trigger failed: %s\n", confd_lasterr());
            cdb_close(fd);
        });
    }
    for (;;) {
        enum cdb_sub_notification type;
        int flags = 0, n = 0;
        int *ids = nullptr;
        int rc = cdb_read_subscription_socket2(g_watch_fd, &type, &flags, &ids, &n);
        if (rc != CONFD_OK) {
            printf("%s\n",
                   rc == CONFD_EOF ? "the database closed the connection" : confd_lasterr());
            break;
        }
        printf("notification%s%s:\n", type == CDB_SUB_OPER ? " (operational)" : "",
               (flags & CDB_SUB_FLAG_TRIGGER) ? " (trigger)" : "");
        for (int i = 0; i < n; ++i) {
            const auto &[label, keyless] = points[ids[i]];
            printf("  %s\n", label.c_str());
            if (keyless) {
                confd_tag_value_t *tv = nullptr;
                int cnt = 0;
                if (cdb_get_modifications(g_watch_fd, ids[i], 0, &tv, &cnt, nullptr) == CONFD_OK) {
                    printf("    %s\n", tvs_text(tv, cnt).c_str());
                    free(tv);
                }
            } else {
                cdb_diff_iterate(g_watch_fd, ids[i], watch_iter, 0, nullptr);
            }
        }
        free(ids);
        fflush(stdout);
        cdb_sync_subscription_socket(g_watch_fd, CDB_DONE_PRIORITY);
    }
    if (trig.joinable())
        trig.join();
    cdb_close(g_watch_fd);
    return 0;
}

// Shows the operational lists daemons provide at and below path, entry by entry.
int show_provided(int fd, const std::string &path, const std::string &format) {
    std::string err;
    const auto f = format == "xml"    ? cdbcli::OperFormat::Xml
                   : format == "json" ? cdbcli::OperFormat::Json
                                      : cdbcli::OperFormat::Text;
    const bool ok = cdbcli::oper_show(
        fd, path, f, [](std::string_view s) { fwrite(s.data(), 1, s.size(), stdout); }, err);
    fflush(stdout);
    return ok ? 0 : fail(err);
}

// Reads frames until the reply to op, printing what the server pushes meanwhile.
int stream_until(int fd, Op op, confd_wire::Frame &reply) {
    for (;;) {
        int rc = confd_wire::read_frame(fd, reply);
        if (rc == CONFD_EOF)
            return fail("the database closed the connection");
        if (rc != 0)
            return fail(std::string("receive failed: ") + strerror(errno));
        if (reply.op == Op::CliOutput || reply.op == Op::NotifEvent) {
            WireReader r(reply.payload.data(), reply.payload.size());
            std::string text;
            r.str(text);
            fputs(text.c_str(), stdout);
            fflush(stdout);
            continue;
        }
        if (reply.op != op)
            return fail("unexpected reply from the database");
        if (reply.status != confd_wire::kStatusOk) {
            WireReader r(reply.payload.data(), reply.payload.size());
            int32_t code = 0;
            std::string msg;
            r.i32(code);
            r.str(msg);
            return fail(msg);
        }
        return 0;
    }
}

// Sends the request w and reads frames until its reply (op), printing what the server pushes
// meanwhile.
int exchange(int fd, WireWriter &w, Op op, confd_wire::Frame &reply) {
    const auto &frame = w.finish();
    if (confd_wire::send_all(fd, frame.data(), frame.size()) != 0)
        return fail("cannot send the request");
    return stream_until(fd, op, reply);
}

// Runs an action: its printed lines as they come, then its result.
int request_action(int fd, const std::vector<std::string> &pos) {
    if ((pos.size() - 2) % 2 != 0)
        return fail("request takes PATH and NAME VALUE pairs");
    WireWriter w(Op::CliAction);
    w.str(pos[1]);
    w.u32(static_cast<uint32_t>((pos.size() - 2) / 2));
    for (size_t i = 2; i + 1 < pos.size(); i += 2) {
        w.str(pos[i]);
        w.str(pos[i + 1]);
    }
    confd_wire::Frame reply;
    if (int rc = exchange(fd, w, Op::CliAction, reply))
        return rc;
    WireReader r(reply.payload.data(), reply.payload.size());
    std::vector<confd_tag_value_t> vals;
    r.tagged_list(vals);  // what could be read is printed
    if (!vals.empty())
        printf("%s\n", tvs_text(vals.data(), static_cast<int>(vals.size())).c_str());
    printf("%s: ok\n", pos[1].c_str());
    return 0;
}

int notifications(int fd, const std::string &format, bool follow) {
    if (!format.empty() && format != "xml" && format != "text")
        return fail("notifications take --format text or xml");
    WireWriter w(Op::CliNotifs);
    w.u8(format == "xml" ? 1 : 0);
    w.u8(follow ? 1 : 0);
    confd_wire::Frame reply;
    if (int rc = exchange(fd, w, Op::CliNotifs, reply))
        return rc;
    WireReader r(reply.payload.data(), reply.payload.size());
    std::string text;
    r.str(text);
    fputs(text.c_str(), stdout);
    fflush(stdout);
    if (!follow)
        return 0;
    int rc = stream_until(fd, Op::Hello, reply);  // runs until the server goes away
    return rc == 1 ? 0 : rc;
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    // Connection options, anywhere on the line.
    for (size_t i = 0; i < args.size();) {
        if ((args[i] == "--addr" || args[i] == "--port") && i + 1 < args.size()) {
            setenv(args[i] == "--addr" ? "CONFD_IPC_ADDR" : "CONFD_IPC_PORT", args[i + 1].c_str(),
                   1);
            args.erase(args.begin() + static_cast<long>(i),
                       args.begin() + static_cast<long>(i) + 2);
        } else if (args[i] == "-h" || args[i] == "--help") {
            fputs(kUsage, stdout);
            return 0;
        } else {
            ++i;
        }
    }
    if (args.empty()) {
        fputs(kUsage, stderr);
        return 2;
    }
    // Options after the command: --format, --replace.
    std::string format;
    bool replace = false;
    std::vector<std::string> pos;
    for (size_t k = 0; k < args.size(); ++k) {
        if (args[k] == "--format" && k + 1 < args.size())
            format = args[++k];
        else if (args[k] == "--replace")
            replace = true;
        else
            pos.push_back(args[k]);
    }
    const std::string cmd = pos[0];
    if (cmd == "watch") {
        std::vector<std::string> specs;
        bool trigger = false;
        for (size_t k = 1; k < pos.size(); ++k) {
            if (pos[k] == "--trigger")
                trigger = true;
            else
                specs.push_back(pos[k]);
        }
        if (specs.empty())
            return fail("watch needs at least one PRIO:PATH");
        return watch(specs, trigger);
    }

    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return fail(std::string("socket: ") + strerror(errno));
    if (confd_client::connect_sock(fd, nullptr, 0, confd_wire::WireSock::Cli, "cdbcli") != CONFD_OK)
        return fail(std::string("cannot reach the database: ") + confd_lasterr());

    auto need = [&](size_t n) { return pos.size() >= n; };
    int rc = 2;
    if (cmd == "load" && need(2)) {
        std::ifstream in(pos[1]);
        if (!in)
            return fail("cannot read " + pos[1]);
        std::stringstream ss;
        ss << in.rdbuf();
        int f = 0;
        if (format.empty())
            format =
                pos[1].size() > 5 && pos[1].substr(pos[1].size() - 5) == ".json" ? "json" : "xml";
        if (format_code(format, f) != 0 || f == 2)
            return fail("load takes --format xml or json");
        WireWriter w(Op::CliEdit);
        w.u8(static_cast<uint8_t>(replace ? EditMode::Replace : EditMode::Merge));
        w.u8(static_cast<uint8_t>(f));
        w.str(ss.str());
        rc = call(fd, w.finish(), true);
    } else if (cmd == "set" && need(2)) {
        WireWriter w(Op::CliSet);
        w.str(pos[1]);
        w.str(pos.size() > 2 ? pos[2] : "");
        rc = call(fd, w.finish(), true);
    } else if (cmd == "delete" && need(2)) {
        WireWriter w(Op::CliDelete);
        w.str(pos[1]);
        rc = call(fd, w.finish(), true);
    } else if (cmd == "show" && pos.size() > 1 && confd_load_schemas(nullptr, 0) == CONFD_OK &&
               cdbcli::is_provided(pos[1])) {
        rc = show_provided(fd, pos[1], format);
    } else if (cmd == "request" && need(2)) {
        rc = request_action(fd, pos);
    } else if (cmd == "notifications") {
        rc = notifications(fd, format, std::find(pos.begin(), pos.end(), "--follow") != pos.end());
    } else if (cmd == "show" || (cmd == "oper" && need(2) && pos[1] == "show")) {
        const bool oper = cmd == "oper";
        const size_t at = oper ? 2 : 1;
        int f = 2;
        if (!format.empty() && format_code(format, f) != 0)
            return fail("unknown format " + format + " (xml, json or text)");
        WireWriter w(Op::CliShow);
        w.str(pos.size() > at ? pos[at] : "");
        w.u8(static_cast<uint8_t>(f));
        w.u8(oper ? 1 : 0);
        rc = call(fd, w.finish(), true);
    } else if (cmd == "oper" && need(3) && pos[1] == "get") {
        WireWriter w(Op::CliOperGet);
        w.str(pos[2]);
        rc = call(fd, w.finish(), true);
    } else if (cmd == "oper" && need(3) && pos[1] == "set") {
        WireWriter w(Op::CliOperSet);
        w.str(pos[2]);
        w.str(pos.size() > 3 ? pos[3] : "");
        rc = call(fd, w.finish(), false);
    } else if (cmd == "oper" && need(3) && pos[1] == "delete") {
        WireWriter w(Op::CliOperDelete);
        w.str(pos[2]);
        rc = call(fd, w.finish(), false);
    } else if (cmd == "status") {
        WireWriter w(Op::CliStatus);
        rc = call(fd, w.finish(), true);
    } else if (cmd == "phase") {
        WireWriter w(pos.size() > 1 ? Op::CliPhase : Op::GetPhase);
        if (pos.size() > 1) {
            const std::string &t = pos[1];
            if (t != "next" && t != "0" && t != "1" && t != "2")
                return fail("phase takes next, 1 or 2");
            w.i32(t == "next" ? -1 : atoi(t.c_str()));
            rc = call(fd, w.finish(), true);
        } else {
            std::vector<uint8_t> reply;
            if (confd_client::request(fd, w.finish(), reply) != CONFD_OK)
                return fail(confd_lasterr());
            WireReader r(reply.data(), reply.size());
            int32_t p = 0;
            r.i32(p);
            printf("phase %d\n", p);
            rc = 0;
        }
    } else {
        fputs(kUsage, stderr);
    }
    confd_client::forget_sock(fd);
    close(fd);
    return rc;
}
