// plxload: places one compiled program in the forwarding plane's filter memory and binds it
// through fibd, standing in for plxd's program placement and binding. It listens on plxd's queue
// (module 9, fibd connects as module 3), sends the bind message and sends it again whenever fibd
// reconnects. On SIGINT or SIGTERM it prints the requested counters, unbinds, frees the program
// and waits for the delayed release.
#include <event2/event.h>
#include <getopt.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "common/msgq_util.h"
#include "common/plx_log.h"
#include "common/plx_paths.h"
#include "common/qrv_util.h"
#include "common/timer.h"
#include "daemon/plx_ctx.h"
#include "fplink/fib_msgs.h"
#include "fplink/fp_common.h"
#include "peers/fpeval/fp_eval.h"
#include "peers/peer_util/peer_loop.h"
#include "progmem/plx_if_fpmem.h"
#include "tools/tool_util/tool_cli.h"

namespace {

constexpr uint32_t kCheckMs = 100;    // how often the binding is looked for in the tables
constexpr uint32_t kWatchMs = 1000;   // forwarding-plane restart watch
constexpr int kFlushMs = 2000;        // longest wait for the unbind to leave
constexpr int kReleaseWaitMs = 5000;  // longest wait for the delayed release at exit

const ToolUsage kUsage{
    "plxload",
    "usage: plxload PROGRAM (--vpn VPN[,VPN...] | --acl IF:in|out ...) [options]\n"
    "\n"
    "Places PROGRAM (the bytes written by 'plxc compile -o') in the forwarding plane's filter\n"
    "memory (shared object under $PLX_SHM_PREFIX, size from $PLX_ROOT/etc/default/sim_size),\n"
    "listens on plxd's queue ($PLX_ROOT/var/run/.plxd) and sends fibd the bind message for\n"
    "the VPNs or interfaces, again whenever fibd reconnects. It waits for the forwarding plane\n"
    "to be ready. Programs already placed by others stay intact.\n"
    "It keeps running until SIGINT or SIGTERM; then it prints the counters asked for, unbinds,\n"
    "frees the program and waits (at most 5 s) until the forwarding plane stopped using it.\n"
    "\n"
    "Binding (one kind per program):\n"
    "  -v, --vpn LIST        bind as a policy to the VPNs of LIST (comma-separated; repeatable)\n"
    "  -a, --app-route       the policy is an app-route policy (default: data policy)\n"
    "  -D, --direction DIR   data-policy direction: service, tunnel or all (default all)\n"
    "  -i, --acl IF:DIR      bind as an access list to interface IF, DIR in or out (repeatable)\n"
    "  -V, --acl-vpn VPN     VPN of the interfaces (default 1)\n"
    "  -6, --ipv6            the access list is an IPv6 list (default IPv4)\n"
    "Other options:\n"
    "  -n, --name NAME       name in the messages (default: the program's name)\n"
    "      --dpi-off         also tell fibd that no policy uses application recognition\n"
    "  -c, --counters NAME   at exit print the packets and bytes counted under NAME; '*' prints\n"
    "                        every counter of the program (repeatable)\n"
    "  -r, --ready FILE      write FILE (filter number) once fibd applied the binding\n"
    "  -q, --quiet           only errors and the counters\n"
    "  -h, --help            show this text\n"
    "\n"
    "Signals: SIGINT and SIGTERM stop; SIGUSR1 prints the counters and the memory map.\n"
    "Exit status: 0 done, 1 the program could not be placed or served, 2 bad command line.\n"};

bool parse_u32(const std::string &text, uint32_t max, uint32_t &out) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    errno = 0;
    unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
    if (errno || v > max)
        return false;
    out = static_cast<uint32_t>(v);
    return true;
}

struct Options {
    std::string program_path;
    std::vector<uint32_t> vpns;
    std::vector<fib_acl_binding> acls;
    uint32_t acl_vpn = 1;
    uint8_t family = 0;
    uint8_t filter_type = FP_FILTER_TYPE_DATA;
    uint8_t direction = 3;
    std::string name;
    bool dpi_off = false;
    std::vector<std::string> counters;
    std::string ready_path;
    bool quiet = false;
};

// Parses the command line: "" or what is wrong.
std::string parse_options(int argc, char **argv, Options &o, bool &help) {
    enum { OPT_DPI_OFF = 256 };
    static const option long_options[] = {
        {"vpn", required_argument, nullptr, 'v'},
        {"app-route", no_argument, nullptr, 'a'},
        {"direction", required_argument, nullptr, 'D'},
        {"acl", required_argument, nullptr, 'i'},
        {"acl-vpn", required_argument, nullptr, 'V'},
        {"ipv6", no_argument, nullptr, '6'},
        {"name", required_argument, nullptr, 'n'},
        {"dpi-off", no_argument, nullptr, OPT_DPI_OFF},
        {"counters", required_argument, nullptr, 'c'},
        {"ready", required_argument, nullptr, 'r'},
        {"quiet", no_argument, nullptr, 'q'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    bool dir_given = false;
    opterr = 0;
    for (int c;
         (c = getopt_long(argc, argv, ":v:aD:i:V:6n:c:r:qh", long_options, nullptr)) != -1;) {
        std::string arg = optarg ? optarg : "";
        switch (c) {
            case 'v': {
                size_t pos = 0;
                while (pos <= arg.size()) {
                    size_t comma = arg.find(',', pos);
                    std::string item =
                        arg.substr(pos, comma == std::string::npos ? comma : comma - pos);
                    uint32_t vpn;
                    if (!parse_u32(item, FP_VPN_ID_MAX, vpn))
                        return "bad VPN '" + item + "' (0.." + std::to_string(FP_VPN_ID_MAX) + ")";
                    o.vpns.push_back(vpn);
                    if (comma == std::string::npos)
                        break;
                    pos = comma + 1;
                }
                break;
            }
            case 'a':
                o.filter_type = FP_FILTER_TYPE_APP_ROUTE;
                break;
            case 'D':
                dir_given = true;
                if (arg == "service" || arg == "1")
                    o.direction = 1;
                else if (arg == "tunnel" || arg == "2")
                    o.direction = 2;
                else if (arg == "all" || arg == "3")
                    o.direction = 3;
                else
                    return "bad direction '" + arg + "' (service, tunnel or all)";
                break;
            case 'i': {
                size_t colon = arg.rfind(':');
                std::string intf = arg.substr(0, colon);
                std::string dir = colon == std::string::npos ? "" : arg.substr(colon + 1);
                if (intf.empty() || (dir != "in" && dir != "out"))
                    return "bad access-list binding '" + arg + "' (IF:in or IF:out)";
                if (intf.size() >= FIB_INTF_NAME_LEN)
                    return "interface name '" + intf + "' longer than " +
                           std::to_string(FIB_INTF_NAME_LEN - 1) + " characters";
                o.acls.push_back({0, static_cast<uint8_t>(dir == "in" ? 1 : 2), intf});
                break;
            }
            case 'V':
                if (!parse_u32(arg, 0xFFFFFFFFu, o.acl_vpn))
                    return "bad VPN '" + arg + "'";
                break;
            case '6':
                o.family = 1;
                break;
            case 'n':
                if (arg.empty() || arg.size() >= FIB_NAME_LEN)
                    return "name must have 1 to " + std::to_string(FIB_NAME_LEN - 1) +
                           " characters";
                o.name = arg;
                break;
            case OPT_DPI_OFF:
                o.dpi_off = true;
                break;
            case 'c':
                if (arg.empty() || arg.size() > PLX_ACTION_NAME_LEN)
                    return "counter name must have 1 to " + std::to_string(PLX_ACTION_NAME_LEN) +
                           " characters";
                o.counters.push_back(arg);
                break;
            case 'r':
                o.ready_path = arg;
                break;
            case 'q':
                o.quiet = true;
                break;
            case 'h':
                help = true;
                return "";
            default:
                return tool_option_error(c, argv);
        }
    }
    if (optind >= argc)
        return "missing PROGRAM";
    if (optind + 1 < argc)
        return std::string("unexpected argument '") + argv[optind + 1] + "'";
    o.program_path = argv[optind];
    if (o.vpns.empty() == o.acls.empty())
        return "give either --vpn or --acl";
    if (!o.acls.empty() && (dir_given || o.filter_type != FP_FILTER_TYPE_DATA))
        return "--direction and --app-route apply to policies, not to access lists";
    if (!o.vpns.empty() && o.family != 0)
        return "--ipv6 applies to access lists";
    for (fib_acl_binding &b : o.acls)
        b.vpn_id = o.acl_vpn;
    return "";
}

// Reads and checks a program file; the bytes in an 8-byte-aligned buffer.
std::string read_program(const std::string &path, std::vector<uint64_t> &buf, uint32_t &len) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return path + ": cannot open: " + std::strerror(errno);
    std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (raw.size() < sizeof(PolicyProgram))
        return path + ": not a program (" + std::to_string(raw.size()) + " bytes)";
    if (raw.size() > 0xFFFFFFFFull)
        return path + ": too large";
    buf.assign((raw.size() + 7) / 8, 0);
    std::memcpy(buf.data(), raw.data(), raw.size());
    std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t *>(buf.data()), raw.size());
    if (const char *why = fp_validate(bytes))
        return path + ": not a valid program: " + why;
    const auto *prog = reinterpret_cast<const PolicyProgram *>(buf.data());
    if (prog->length != raw.size())
        return path + ": program length " + std::to_string(prog->length) + " but the file has " +
               std::to_string(raw.size()) + " bytes";
    len = prog->length;
    return "";
}

struct Loader {
    Options opt;
    std::vector<uint64_t> image;  // the program as read
    uint32_t length = 0;
    std::string name;

    std::unique_ptr<PeerLoop> loop;
    msgq_handle *q = nullptr;
    timer *check = nullptr;
    timer *watch = nullptr;
    plx_ctx ctx{};
    ProgramMemoryOps ops{};

    PolicyProgram *prog = nullptr;  // in filter memory
    uint32_t filter = FP_FILTER_NONE;
    uint32_t fp_pid = 0;
    bool applied = false;
    int exit_code = 0;

    void say(const char *fmt, ...) __attribute__((format(printf, 2, 3))) {
        if (opt.quiet)
            return;
        va_list ap;
        va_start(ap, fmt);
        std::fputs("plxload: ", stdout);
        std::vprintf(fmt, ap);
        va_end(ap);
        std::fflush(stdout);
    }

    fib_msg bind_msg(bool bind) const {
        if (!opt.vpns.empty()) {
            fib_policy_msg m;
            m.type = bind ? FIB_MSG_POLICY_BIND : FIB_MSG_POLICY_UNBIND;
            m.filter_type = opt.filter_type;
            m.direction = opt.direction;
            m.filter_id = filter;
            m.name = name;
            m.vpn_ids = opt.vpns;
            return m;
        }
        fib_acl_msg m;
        m.type = bind ? FIB_MSG_ACL_BIND : FIB_MSG_ACL_UNBIND;
        m.family = opt.family;
        m.filter_id = filter;
        m.name = name;
        m.bindings = opt.acls;
        return m;
    }

    bool send(const fib_msg &m) {
        std::vector<uint8_t> wire;
        if (fib_msg_encode(m, wire) != 0) {
            std::fprintf(stderr, "plxload: an interface name is longer than 32 characters\n");
            return false;
        }
        uint8_t *buf = msgq_alloc(q, static_cast<uint32_t>(wire.size()));
        if (!buf) {
            std::fprintf(stderr, "plxload: out of message buffers\n");
            return false;
        }
        std::memcpy(buf, wire.data(), wire.size());
        int rc = msgq_write(q, buf, static_cast<uint32_t>(wire.size()));
        if (rc != 0) {
            msgq_free(q, buf);
            std::fprintf(stderr, "plxload: cannot send to fibd (code %d)\n", rc);
            return false;
        }
        return true;
    }

    void announce() {
        if (!msgq_is_ready(q) || filter == FP_FILTER_NONE)
            return;
        fib_msg m = bind_msg(true);
        if (send(m))
            say("sent %s\n", fib_msg_json(m).c_str());
        if (opt.dpi_off)
            send(fib_dpi_off_msg{});
        applied = false;
        timer_enable(check);
    }

    // Whether fibd wrote the binding into the tables the forwarding plane reads.
    bool binding_visible() const {
        if (!opt.vpns.empty()) {
            std::span<fp_vpn_binding> vpn = fp_vpn_bindings();
            for (uint32_t id : opt.vpns) {
                const fp_vpn_binding &b = vpn[id];
                uint32_t f = opt.filter_type == FP_FILTER_TYPE_DATA
                                 ? fp_vpn_data_filter(b, opt.direction)
                                 : fp_vpn_app_route_filter(b);
                if (f != filter)
                    return false;
            }
            return true;
        }
        std::span<fp_intf_acl_binding> intf = fp_intf_acl_bindings();
        for (const fib_acl_binding &want : opt.acls) {
            bool found = false;
            for (const fp_intf_acl_binding &b : intf) {
                if (strncmp(b.name, want.intf.c_str(), FP_INTF_NAME_LEN) != 0)
                    continue;
                found = (fp_load(b.bound) & fp_acl_bound_bit(want.direction, opt.family)) &&
                        fp_load(b.acl_filter[want.direction - 1][opt.family]) == filter;
                break;
            }
            if (!found)
                return false;
        }
        return true;
    }

    void on_check() {
        if (applied || !binding_visible())
            return;
        applied = true;
        timer_disable(check);
        say("fibd applied the binding of filter %u\n", filter);
        if (!opt.ready_path.empty()) {
            FILE *f = std::fopen(opt.ready_path.c_str(), "w");
            if (!f || std::fprintf(f, "%u\n", filter) < 0 || std::fclose(f) != 0)
                std::fprintf(stderr, "plxload: cannot write %s: %s\n", opt.ready_path.c_str(),
                             std::strerror(errno));
        }
    }

    // Program memory keeps its block map per process. Blocks that programs of other processes
    // hold are taken by one hidden run from block 0, so first fit places after all of them; the
    // filter number the run was given is handed back at once.
    bool reserve_foreign_blocks() {
        uint32_t end = 0;
        for (const FilterEntry &f : fp_filters())
            if (fp_filter_valid_halfword(f) != 0)
                end = std::max(end, fp_load(f.hw_index) + fp_load(f.num_blocks));
        if (end == 0)
            return true;
        void *run = plx_mem_alloc(end * FP_FILTER_BLOCK_SIZE);
        if (run != fp_filter_mem())
            return false;
        FilterEntry &f = fp_filters()[plx_mem_current_filter()];
        fp_store(f.valid, uint8_t{0});
        std::memset(static_cast<void *>(&f), 0, sizeof f);
        say("%u blocks of filter memory are held by other programs\n", end);
        return true;
    }

    // Places the program: program memory over the attached tables, cleared only when no other
    // program is placed.
    bool place() {
        bool others = false;
        for (const FilterEntry &f : fp_filters())
            others = others || fp_filter_valid_halfword(f) != 0;
        PlxMemTables t{fp_filter_mem(), g_fp_scaling.num_filter_mem_blocks, fp_filters().data(),
                       g_fp_scaling.num_filters};
        if (plx_mem_init_tables(&ctx, t, !others) != 0) {
            std::fprintf(stderr, "plxload: out of memory\n");
            return false;
        }
        if (others && !reserve_foreign_blocks()) {
            std::fprintf(stderr, "plxload: filter memory is full\n");
            return false;
        }
        void *mem = plx_mem_alloc(length);
        if (!mem) {
            std::fprintf(stderr,
                         "plxload: no room for %u bytes (%u blocks) in filter memory of %u "
                         "blocks and %u filters\n",
                         length, plx_mem_blocks(length), g_fp_scaling.num_filter_mem_blocks,
                         g_fp_scaling.num_filters);
            return false;
        }
        std::memcpy(mem, image.data(), length);
        prog = static_cast<PolicyProgram *>(mem);
        filter = plx_mem_current_filter();
        fp_pid = fp_load(fp_global_ctrl_tbl()->pid);
        say("placed %s (%u bytes) as filter %u at block %u\n", name.c_str(), length, filter,
            fp_load(fp_filters()[filter].hw_index));
        return true;
    }

    // A restarted forwarding plane cleared its tables: place the program again and re-bind.
    void on_watch() {
        fp_global_ctrl *g = fp_global_ctrl_tbl();
        uint32_t pid = fp_load(g->pid);
        if (!fp_global_ready(*g) || pid == fp_pid)
            return;
        say("forwarding plane restarted (pid %u): placing the program again\n", pid);
        plx_mem_destroy();
        prog = nullptr;
        filter = FP_FILTER_NONE;
        if (!place()) {
            exit_code = 1;
            loop->stop();
            return;
        }
        announce();
    }

    std::vector<std::string> counter_names() const {
        std::vector<std::string> names;
        for (const std::string &n : opt.counters) {
            if (n != "*") {
                names.push_back(n);
                continue;
            }
            struct Collect {
                std::vector<std::string> *out;
            } c{&names};
            plx_program_visit_actions(prog, &c, [](uint8_t *data, void *arg) {
                auto *out = static_cast<Collect *>(arg)->out;
                for (unsigned i = 0; i < PLX_ACTION_SLOTS; ++i) {
                    const auto *s = plx_action_slot<CountSlot>(data, i);
                    if (s->action_type != PLX_ACT_COUNT)
                        continue;
                    std::string name(s->name, strnlen(s->name, PLX_ACTION_NAME_LEN));
                    if (std::find(out->begin(), out->end(), name) == out->end())
                        out->push_back(name);
                }
            });
        }
        return names;
    }

    void print_counters() const {
        if (!prog)
            return;
        for (const std::string &n : counter_names()) {
            uint64_t packets = 0, bytes = 0;
            plx_program_sum_counters(prog, n.c_str(), &packets, &bytes);
            std::printf("counter %s: packets %" PRIu64 " bytes %" PRIu64 "\n", n.c_str(), packets,
                        bytes);
        }
        std::fflush(stdout);
    }

    // Frees a program that was never bound; nothing uses it, so the release is immediate.
    void give_back() {
        if (!prog)
            return;
        plx_mem_free(prog);
        plx_mem_release_scan();
        prog = nullptr;
    }

    // Counters, unbind, free, and the delayed release.
    void shut_down() {
        print_counters();
        if (prog && msgq_is_ready(q)) {
            fib_msg m = bind_msg(false);
            if (send(m)) {
                say("sent %s\n", fib_msg_json(m).c_str());
                if (!loop->run_until([&] { return msgq_queued_bytes(q) == 0; }, kFlushMs))
                    std::fprintf(stderr, "plxload: the unbind message did not leave\n");
            }
        }
        if (!prog)
            return;
        plx_mem_free(prog);
        if (loop->run_until([] { return plx_mem_pending_releases() == 0; }, kReleaseWaitMs)) {
            say("filter %u released\n", filter);
        } else {
            std::fprintf(stderr,
                         "plxload: the forwarding plane still uses filter %u; left in place\n",
                         filter);
            exit_code = 1;
        }
        prog = nullptr;
    }
};

void on_up(msgq_handle *, void *arg) {
    auto *l = static_cast<Loader *>(arg);
    l->say("fibd connected\n");
    l->announce();
}
void on_down(msgq_handle *, void *arg) {
    static_cast<Loader *>(arg)->say("fibd disconnected\n");
}
void on_reserved(msgq_handle *, void *) {}
void on_recv(msgq_handle *q, uint8_t *payload, uint32_t len, void *arg) {
    static_cast<Loader *>(arg)->say("ignored a %u-byte message from fibd\n", len);
    msgq_free(q, payload);
}
void check_cb(timer *, void *arg, void *, void *, void *) {
    static_cast<Loader *>(arg)->on_check();
}
void watch_cb(timer *, void *arg, void *, void *, void *) {
    static_cast<Loader *>(arg)->on_watch();
}

// Whether a process accepts connections on the local socket at path.
bool someone_listens(const std::string &path) {
    sockaddr_un sun{};
    if (path.size() >= sizeof sun.sun_path)
        return false;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sun.sun_family = AF_UNIX;
    std::memcpy(sun.sun_path, path.c_str(), path.size());
    bool alive = connect(fd, reinterpret_cast<sockaddr *>(&sun), sizeof sun) == 0;
    close(fd);
    return alive;
}

int run(Loader &l) {
    l.loop = std::make_unique<PeerLoop>();
    if (!l.loop->ok()) {
        std::fprintf(stderr, "plxload: out of memory\n");
        return 1;
    }
    l.ctx.evbase = l.loop->base();
    l.ctx.tmr_mgr = l.loop->tmr();
    l.ops = plx_fpmem_ops();
    l.ctx.mem_ops = &l.ops;

    // The transport takes over a leftover socket file, but must not steal a live listener.
    std::string sock = plx_path("/var/run/.plxd");
    if (someone_listens(sock)) {
        std::fprintf(stderr, "plxload: %s is in use (is plxd or another plxload running?)\n",
                     sock.c_str());
        return 1;
    }
    if (fp_shm_attach(false, true) != 0) {
        std::fprintf(stderr, "plxload: cannot map the forwarding plane's shared memory\n");
        return 1;
    }
    fp_global_ctrl *g = fp_global_ctrl_tbl();
    if (!fp_global_ready(*g))
        l.say("waiting for the forwarding plane to become ready\n");
    if (!peer_wait_until([g] { return fp_global_ready(*g); }))
        return 0;
    if (!l.place())
        return 1;

    msgq_params params = l.loop->local_queue_params();
    msgq_callbacks cbs{on_up, on_down, on_reserved, on_recv, nullptr, nullptr};
    l.q = msgq_init(QRV_MOD_PLXD, QRV_MOD_FIBD, MSGQ_HANDLE_TYPE_SERVER, &params, &cbs, &l);
    if (!l.q || !msgq_is_listening(l.q)) {
        std::fprintf(stderr, "plxload: cannot listen on %s\n", sock.c_str());
        if (l.q)
            msgq_deinit(l.q);
        l.q = nullptr;
        l.give_back();
        return 1;
    }
    l.ctx.fibd_msgq = l.q;
    l.say("listening on %s for fibd\n", sock.c_str());

    l.check = timer_util_create(l.loop->tmr(), TIMER_PRI_NORMAL, TIMER_CYCLIC, kCheckMs, check_cb,
                                &l, nullptr, nullptr, nullptr, "plxload-check");
    l.watch = timer_util_create(l.loop->tmr(), TIMER_PRI_NORMAL, TIMER_CYCLIC, kWatchMs, watch_cb,
                                &l, nullptr, nullptr, nullptr, "plxload-fp-watch");
    timer_enable(l.watch);
    l.loop->stop_on({SIGINT, SIGTERM}, [&l](int sig) { l.say("signal %d, stopping\n", sig); });
    l.loop->on_signals({SIGUSR1}, [&l](int) {
        l.print_counters();
        plx_dump_memory_stats(PlxPrinter{});
        std::fflush(stdout);
    });
    l.loop->run();

    l.shut_down();
    return l.exit_code;
}

void clean_up(Loader &l) {
    if (l.q)
        msgq_deinit(l.q);
    if (l.check)
        timer_util_delete(l.check);
    if (l.watch)
        timer_util_delete(l.watch);
    plx_mem_destroy();
    l.loop.reset();
    fp_shm_detach();
}

}  // namespace

int main(int argc, char **argv) {
    Loader l;
    bool help = false;
    std::string err = parse_options(argc, argv, l.opt, help);
    if (help) {
        std::fputs(kUsage.text, stdout);
        return 0;
    }
    if (!err.empty())
        return kUsage.bad(err);
    err = read_program(l.opt.program_path, l.image, l.length);
    if (!err.empty()) {
        std::fprintf(stderr, "plxload: %s\n", err.c_str());
        return 1;
    }
    const auto *image = reinterpret_cast<const PolicyProgram *>(l.image.data());
    l.name = l.opt.name.empty() ? std::string(image->name, strnlen(image->name, sizeof image->name))
                                : l.opt.name;
    plx_log_open("PLXLOAD");
    signal(SIGPIPE, SIG_IGN);
    peer_catch_stop_signals({SIGTERM, SIGINT});
    if (!l.opt.quiet)
        msgq_set_log_hook(peer_print_transport_error);
    int rc = run(l);
    clean_up(l);
    return rc;
}
