// hbusctl: changes the TLOC state that a running hbusd announces to plxd.

#include <getopt.h>

#include <cstdio>
#include <string>

#include "common/plx_paths.h"
#include "peers/hbusd/hbusd_server.h"
#include "peers/peer_util/peer_main.h"

namespace {

void usage(FILE *out) {
    std::fprintf(
        out,
        "usage: hbusctl [-s SOCKET] update <originator> <color> <encap> [name=value ...]\n"
        "       hbusctl [-s SOCKET] withdraw <originator> <color> <encap>\n"
        "       hbusctl [-s SOCKET] list\n"
        "\n"
        "Talks to hbusd over its control socket (/var/run/.hbusctl under $PLX_ROOT).\n"
        "update adds a TLOC or changes it; attributes: index=N preference=N weight=N\n"
        "status=up|down|N local=yes|no (left out: kept, or for a new TLOC index 0,\n"
        "preference 0, weight 1, status up, local no). color is a colour name or number,\n"
        "encap gre, ipsec or a number. withdraw removes a TLOC; list prints every TLOC in\n"
        "the TLOC-file format and whether plxd is subscribed.\n"
        "Exit status: 0 done, 1 refused or hbusd not reachable, 2 bad usage.\n");
}

}  // namespace

int main(int argc, char **argv) {
    static const option long_options[] = {
        {"socket", required_argument, nullptr, 's'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    std::string socket_path;
    const PeerCommandLine cl{.name = "hbusctl",
                             .usage = usage,
                             .short_options = "+s:h",
                             .long_options = long_options,
                             .bad_usage_status = 2,
                             .takes_operands = true};
    if (int status =
            peer_parse_options(cl, argc, argv, [&](int, const char *arg) { socket_path = arg; });
        status >= 0)
        return status;
    if (optind >= argc) {
        usage(stderr);
        return 2;
    }
    std::string command;
    for (int i = optind; i < argc; ++i) {
        if (i > optind)
            command += ' ';
        command += argv[i];
    }
    if (command.find('\n') != std::string::npos) {
        std::fprintf(stderr, "hbusctl: arguments may not contain line breaks\n");
        return 2;
    }
    if (socket_path.empty())
        socket_path = plx_path("/var/run/.hbusctl");
    std::string err;
    std::string reply = hbusctl_request(socket_path, command, &err);
    if (reply.empty()) {
        std::fprintf(stderr, "hbusctl: %s\n", err.c_str());
        return 1;
    }
    size_t eol = reply.find('\n');
    std::string first = reply.substr(0, eol);
    std::string rest = eol == std::string::npos ? "" : reply.substr(eol + 1);
    if (first != "ok") {
        std::fprintf(stderr, "hbusctl: %s\n", first.c_str());
        return 1;
    }
    std::fputs(rest.c_str(), stdout);
    return 0;
}
