// cdbd: the router's configuration database server.
#include <getopt.h>
#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "common/plx_paths.h"
#include "peers/cdbd/cdbd_server.h"
#include "peers/cdbd/restconf_server.h"

#ifndef PLX_YANG_DIR
#define PLX_YANG_DIR "/usr/share/plx/yang"
#endif

namespace {

void usage(FILE *out) {
    fprintf(out,
            "usage: cdbd [--yang-dir DIR] [--db-dir DIR] [--addr A] [--port N] "
            "[--start-phase 0|1|2]\n"
            "            [--access-file FILE] [--snmp-targets FILE] [--daemon-timeout MS]\n"
            "            [--sync-timeout MS]\n"
            "  --yang-dir     YANG modules to load (env CDBD_YANG_DIR; default %s)\n"
            "  --db-dir       where running.json is kept (default $PLX_ROOT/var/confd/cdb)\n"
            "  --addr/--port  listening address (env CONFD_IPC_ADDR, CONFD_IPC_PORT; "
            "default 127.0.0.1:4565)\n"
            "  --start-phase  start phase to begin in; 0 holds clients until "
            "'cdbcli phase next' (default 2)\n"
            "  --access-file  secret file every client must prove it knows (the clients'\n"
            "                 CONFD_IPC_ACCESS_FILE); without it every loopback client is served\n"
            "  --snmp-targets SNMP trap targets: lines 'notify NAME target ADDRESS PORT "
            "COMMUNITY'\n"
            "  --daemon-timeout  how long a daemon may take to answer one request (default "
            "10000 ms)\n"
            "  --sync-timeout    how long a subscriber may take to synchronise one notification\n"
            "                    before it is disconnected (default 15000 ms; 0 waits for ever)\n"
            "  --restconf-port   serve RESTCONF and /metrics on 127.0.0.1 at this port (0: any\n"
            "                    free port); the port and the bearer token are written to\n"
            "                    restconf.port and restconf.token (mode 0600) in --restconf-dir\n"
            "  --restconf-dir    default $PLX_ROOT/var/run/cdbd\n"
            "  --restconf-timeout  seconds a client may take to send a request (default 10)\n"
            "  --sysmgr-status   sysmgrd's status file, for the age of plxd's last hello\n",
            PLX_YANG_DIR);
}

}  // namespace

int main(int argc, char **argv) {
    // Every commit builds a new configuration tree and notification frames of hundreds of KB and
    // frees them: keep freed memory in the process for the next commit instead of handing it
    // back and taking page faults on it again (on a virtual machine a fault costs about 10 us).
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
    cdbd::ServerOptions opts;
    const char *env_yang = getenv("CDBD_YANG_DIR");
    opts.yang_dir = env_yang && *env_yang ? env_yang : PLX_YANG_DIR;
    opts.db_dir = plx_path("/var/confd/cdb");
    if (const char *a = getenv("CONFD_IPC_ADDR"); a && *a)
        opts.addr = a;
    if (const char *p = getenv("CONFD_IPC_PORT"); p && *p)
        opts.port = static_cast<uint16_t>(atoi(p));
    static const option longopts[] = {{"yang-dir", required_argument, nullptr, 'y'},
                                      {"db-dir", required_argument, nullptr, 'd'},
                                      {"addr", required_argument, nullptr, 'a'},
                                      {"port", required_argument, nullptr, 'p'},
                                      {"start-phase", required_argument, nullptr, 's'},
                                      {"access-file", required_argument, nullptr, 'A'},
                                      {"snmp-targets", required_argument, nullptr, 'S'},
                                      {"daemon-timeout", required_argument, nullptr, 'T'},
                                      {"sync-timeout", required_argument, nullptr, 'W'},
                                      {"restconf-port", required_argument, nullptr, 'R'},
                                      {"restconf-dir", required_argument, nullptr, 'D'},
                                      {"sysmgr-status", required_argument, nullptr, 'M'},
                                      {"restconf-timeout", required_argument, nullptr, 'O'},
                                      {"help", no_argument, nullptr, 'h'},
                                      {nullptr, 0, nullptr, 0}};
    int restconf_port = -1, restconf_timeout = 10;
    std::string restconf_dir = plx_path("/var/run/cdbd"), sysmgr_status;
    int ch;
    while ((ch = getopt_long(argc, argv, "y:d:a:p:s:A:S:T:W:h", longopts, nullptr)) != -1) {
        switch (ch) {
            case 'y':
                opts.yang_dir = optarg;
                break;
            case 'd':
                opts.db_dir = optarg;
                break;
            case 'a':
                opts.addr = optarg;
                break;
            case 'p':
                opts.port = static_cast<uint16_t>(atoi(optarg));
                break;
            case 's':
                opts.start_phase = atoi(optarg);
                if (opts.start_phase < 0 || opts.start_phase > 2) {
                    fprintf(stderr, "cdbd: the start phase is 0, 1 or 2\n");
                    return 2;
                }
                break;
            case 'A':
                opts.access_file = optarg;
                break;
            case 'S':
                opts.snmp_config = optarg;
                break;
            case 'T':
                opts.daemon_timeout_ms = atoi(optarg);
                if (opts.daemon_timeout_ms <= 0) {
                    fprintf(stderr, "cdbd: the daemon timeout is a positive number of ms\n");
                    return 2;
                }
                break;
            case 'W': {
                char *end = nullptr;
                const long ms = strtol(optarg, &end, 10);
                if (*optarg == 0 || *end != 0 || ms < 0 || ms > 86400000) {
                    fprintf(stderr, "cdbd: the sync timeout is a number of ms (0: none)\n");
                    return 2;
                }
                opts.sync_timeout_ms = static_cast<int>(ms);
                break;
            }
            case 'R':
                restconf_port = atoi(optarg);
                if (restconf_port < 0 || restconf_port > 65535) {
                    fprintf(stderr, "cdbd: the RESTCONF port is 0 to 65535\n");
                    return 2;
                }
                break;
            case 'D':
                restconf_dir = optarg;
                break;
            case 'M':
                sysmgr_status = optarg;
                break;
            case 'O':
                restconf_timeout = atoi(optarg);
                if (restconf_timeout <= 0) {
                    fprintf(stderr, "cdbd: the RESTCONF timeout is a positive number of s\n");
                    return 2;
                }
                break;
            case 'h':
                usage(stdout);
                return 0;
            default:
                usage(stderr);
                return 2;
        }
    }
    cdbd::CdbServer server(opts);
    std::string err;
    if (!server.init(err)) {
        fprintf(stderr, "cdbd: %s\n", err.c_str());
        return 1;
    }
    std::unique_ptr<cdbd::RestconfServer> restconf;
    if (restconf_port >= 0) {
        restconf = cdbd::start_restconf(opts, server.port(), static_cast<uint16_t>(restconf_port),
                                        restconf_dir, sysmgr_status, restconf_timeout, err);
        if (!restconf) {
            fprintf(stderr, "cdbd: RESTCONF: %s\n", err.c_str());
            return 1;
        }
        fprintf(stderr, "cdbd: RESTCONF and metrics on http://127.0.0.1:%u (token in %s)\n",
                restconf->port(), (restconf_dir + "/restconf.token").c_str());
    }
    server.install_signals();
    fprintf(stderr, "cdbd: listening on %s:%u, phase %d, datastore %s\n", opts.addr.c_str(),
            server.port(), opts.start_phase, server.running_file().c_str());
    server.run();
    return 0;
}
