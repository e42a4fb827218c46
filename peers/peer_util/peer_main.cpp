#include "peers/peer_util/peer_main.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

int peer_parse_options(const PeerCommandLine &cl, int argc, char **argv,
                       const std::function<void(int code, const char *arg)> &on_option) {
    for (int c; (c = getopt_long(argc, argv, cl.short_options, cl.long_options, nullptr)) != -1;) {
        if (c == 'h') {
            cl.usage(stdout);
            return 0;
        }
        if (c == '?' || c == ':') {
            cl.usage(stderr);
            return cl.bad_usage_status;
        }
        on_option(c, optarg);
    }
    if (!cl.takes_operands && optind < argc) {
        std::fprintf(stderr, "%s: unexpected argument '%s'\n", cl.name, argv[optind]);
        cl.usage(stderr);
        return cl.bad_usage_status;
    }
    return -1;
}

bool peer_detach(const char *name) {
    if (daemon(0, 0) == 0)
        return true;
    std::fprintf(stderr, "%s: cannot detach: %s\n", name, std::strerror(errno));
    return false;
}
