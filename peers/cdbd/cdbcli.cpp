// cdbcli: the operator's command line for the configuration database.
//
// Every command is one transaction: a commit returns once every subscriber has taken the
// change, and an invalid one changes nothing and says what is wrong and where.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

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
    "  show [PATH] [--format xml|json|text]    show the running configuration\n"
    "  oper show [PATH] [--format xml|json|text]\n"
    "  oper get PATH               print an operational value\n"
    "  oper set PATH [VALUE]       write an operational value (or create an entry)\n"
    "  oper delete PATH            delete operational data\n"
    "  status                      start phase, connections and subscriptions\n"
    "  phase [next|1|2]            show or advance the start phase\n"
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

}  // namespace

int main(int argc, char **argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    // Global options first.
    size_t i = 0;
    for (; i < args.size(); ++i) {
        if (args[i] == "--addr" && i + 1 < args.size()) {
            setenv("CONFD_IPC_ADDR", args[++i].c_str(), 1);
        } else if (args[i] == "--port" && i + 1 < args.size()) {
            setenv("CONFD_IPC_PORT", args[++i].c_str(), 1);
        } else if (args[i] == "-h" || args[i] == "--help") {
            fputs(kUsage, stdout);
            return 0;
        } else {
            break;
        }
    }
    args.erase(args.begin(), args.begin() + static_cast<long>(i));
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
