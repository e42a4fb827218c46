#include "peers/hbusd/hbusd_server.h"

#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/listener.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "common/msgq_util.h"
#include "common/plx_paths.h"
#include "common/qrv_util.h"

namespace {

// A command line longer than this is refused.
constexpr size_t kMaxCommandLen = 4096;

void on_reserved(msgq_handle *, void *) {}

struct ControlConn {
    HbusdServer *server;
    bool replied = false;
};

void close_conn(bufferevent *bev, ControlConn *c) {
    bufferevent_free(bev);
    delete c;
}

void reply(bufferevent *bev, ControlConn *c, const std::string &text) {
    c->replied = true;
    bufferevent_disable(bev, EV_READ);
    bufferevent_write(bev, text.data(), text.size());
}

void control_write_cb(bufferevent *bev, void *arg) {
    auto *c = static_cast<ControlConn *>(arg);
    if (c->replied && evbuffer_get_length(bufferevent_get_output(bev)) == 0)
        close_conn(bev, c);
}

void control_read_cb(bufferevent *bev, void *arg) {
    auto *c = static_cast<ControlConn *>(arg);
    if (c->replied)
        return;
    evbuffer *in = bufferevent_get_input(bev);
    size_t n = 0;
    char *line = evbuffer_readln(in, &n, EVBUFFER_EOL_LF);
    if (!line) {
        if (evbuffer_get_length(in) > kMaxCommandLen)
            reply(bev, c, "error: command too long\n");
        return;
    }
    std::string text = c->server->run_command(std::string_view(line, n));
    free(line);
    reply(bev, c, text);
}

void control_event_cb(bufferevent *bev, short what, void *arg) {
    if (what & (BEV_EVENT_EOF | BEV_EVENT_ERROR))
        close_conn(bev, static_cast<ControlConn *>(arg));
}

void control_accept_cb(evconnlistener *listener, evutil_socket_t fd, sockaddr *, int, void *arg) {
    bufferevent *bev =
        bufferevent_socket_new(evconnlistener_get_base(listener), fd, BEV_OPT_CLOSE_ON_FREE);
    if (!bev) {
        close(fd);
        return;
    }
    auto *c = new ControlConn{static_cast<HbusdServer *>(arg)};
    bufferevent_setcb(bev, control_read_cb, control_write_cb, control_event_cb, c);
    bufferevent_enable(bev, EV_READ);
}

}  // namespace

HbusdServer::HbusdServer(event_base *evbase, timer_mgr *tmr_mgr, HbusTlocTable tlocs, FILE *log)
    : evbase_(evbase), tmr_mgr_(tmr_mgr), tlocs_(std::move(tlocs)), log_(log) {}

HbusdServer::~HbusdServer() {
    stop();
}

void HbusdServer::log(const char *fmt, ...) {
    if (!log_)
        return;
    va_list ap;
    va_start(ap, fmt);
    std::fputs("hbusd: ", log_);
    std::vfprintf(log_, fmt, ap);
    std::fputc('\n', log_);
    std::fflush(log_);
    va_end(ap);
}

int HbusdServer::start() {
    if (q_)
        return EEXIST;
    msgq_params params = msgq_local_params(evbase_, tmr_mgr_);
    msgq_callbacks cbs{on_up, on_down, on_reserved, on_recv, nullptr, nullptr};
    q_ = msgq_init(QRV_MOD_HBUSD, QRV_MOD_PLXD, MSGQ_HANDLE_TYPE_SERVER, &params, &cbs, this);
    if (!q_)
        return ENOMEM;
    if (!msgq_is_listening(q_)) {
        stop();
        return EADDRINUSE;
    }
    if (int err = start_control(); err != 0) {
        stop();
        return err;
    }
    return 0;
}

int HbusdServer::start_control() {
    control_path_ = plx_path("/var/run/.hbusctl");
    sockaddr_un sun{};
    sun.sun_family = AF_UNIX;
    if (control_path_.size() >= sizeof sun.sun_path)
        return ENAMETOOLONG;
    std::memcpy(sun.sun_path, control_path_.c_str(), control_path_.size() + 1);
    if (unlink(control_path_.c_str()) != 0 && errno != ENOENT)
        return errno;
    control_ =
        evconnlistener_new_bind(evbase_, control_accept_cb, this,
                                LEV_OPT_CLOSE_ON_FREE | LEV_OPT_CLOSE_ON_EXEC | LEV_OPT_REUSEABLE,
                                -1, reinterpret_cast<sockaddr *>(&sun), sizeof sun);
    if (!control_)
        return errno ? errno : EADDRINUSE;
    chmod(control_path_.c_str(), 0600);
    return 0;
}

void HbusdServer::stop() {
    if (control_) {
        evconnlistener_free(control_);
        control_ = nullptr;
        unlink(control_path_.c_str());
    }
    if (q_) {
        msgq_deinit(q_);
        q_ = nullptr;
    }
    subscribed_ = false;
}

void HbusdServer::on_up(msgq_handle *, void *arg) {
    static_cast<HbusdServer *>(arg)->log("plxd connected");
}

void HbusdServer::on_down(msgq_handle *, void *arg) {
    auto *s = static_cast<HbusdServer *>(arg);
    s->subscribed_ = false;
    s->log("plxd disconnected");
}

void HbusdServer::on_recv(msgq_handle *q, uint8_t *payload, uint32_t len, void *arg) {
    static_cast<HbusdServer *>(arg)->receive(payload, len);
    msgq_free(q, payload);
}

void HbusdServer::receive(const uint8_t *payload, uint32_t len) {
    hbus_msg rec;
    std::string err;
    if (hbus_msg_decode(&rec, payload, len, &err) != 0) {
        ++counters_.refused;
        log("refused a message of %u bytes from plxd: %s", len, err.c_str());
        return;
    }
    if (rec.type != HBUS_MSG_SUBSCRIBE || rec.selector > 1) {
        ++counters_.refused;
        log("refused message type %u (selector %u) from plxd: not a subscription", rec.type,
            rec.selector);
        return;
    }
    if (rec.selector == 0) {
        log("plxd opened its session");
        return;
    }
    ++counters_.subscriptions;
    subscribed_ = true;
    size_t sent = 0;
    for (const auto &[key, t] : tlocs_)
        sent += send_tloc(HBUS_MSG_TLOC_UPDATE, t);
    log("plxd subscribed to TLOC state; sent %zu of %zu TLOCs", sent, tlocs_.size());
}

bool HbusdServer::send_tloc(uint32_t type, const HbusTloc &t) {
    if (!subscribed_ || !msgq_is_ready(q_))
        return false;
    hbus_msg rec{};
    rec.type = type;
    rec.source = QRV_MOD_HBUSD;
    rec.family = HBUS_AF_INET;
    rec.originator = t.key.originator;
    rec.color = t.key.color;
    rec.encap = t.key.encap;
    rec.local = t.local ? 1 : 0;
    rec.status = t.status;
    rec.index = t.index;
    rec.preference = t.preference;
    rec.weight = t.weight;
    uint8_t *buf = msgq_alloc(q_, HBUS_WIRE_MAX);
    if (!buf)
        return false;
    uint16_t len = 0;
    if (hbus_msg_encode(&rec, buf, &len) != 0 || msgq_write(q_, buf, len) != 0) {
        msgq_free(q_, buf);
        log("could not send %s to plxd", hbus_format_tloc(t).c_str());
        return false;
    }
    ++(type == HBUS_MSG_TLOC_UPDATE ? counters_.updates_sent : counters_.withdrawals_sent);
    return true;
}

std::string HbusdServer::run_command(std::string_view line) {
    std::vector<std::string> words = hbus_split_words(line);
    if (words.empty())
        return "error: empty command\n";
    std::string verb = words.front();
    words.erase(words.begin());
    if (verb == "update")
        return update(words);
    if (verb == "withdraw")
        return withdraw(words);
    if (verb == "list" && words.empty())
        return list();
    return "error: unknown command '" + verb + "' (update, withdraw or list)\n";
}

std::string HbusdServer::update(const std::vector<std::string> &words) {
    HbusTloc t;
    if (std::string err = hbus_parse_tloc(words, tlocs_, &t); !err.empty())
        return "error: " + err + "\n";
    tlocs_[t.key] = t;
    bool sent = send_tloc(HBUS_MSG_TLOC_UPDATE, t);
    std::string line = hbus_format_tloc(t);
    log("update %s%s", line.c_str(), sent ? "" : " (plxd not subscribed)");
    return "ok\n" + line + (sent ? "\n" : "\n# plxd not subscribed: it learns this when it does\n");
}

std::string HbusdServer::withdraw(const std::vector<std::string> &words) {
    HbusTlocKey key;
    if (std::string err = hbus_parse_key(words, &key); !err.empty())
        return "error: " + err + "\n";
    if (words.size() > 3)
        return "error: withdraw takes only <originator> <color> <encap>\n";
    auto it = tlocs_.find(key);
    if (it == tlocs_.end())
        return "error: no such TLOC\n";
    HbusTloc t = it->second;
    tlocs_.erase(it);
    bool sent = send_tloc(HBUS_MSG_TLOC_WITHDRAW, t);
    std::string line = hbus_format_tloc(t);
    log("withdraw %s%s", line.c_str(), sent ? "" : " (plxd not subscribed)");
    return "ok\n";
}

std::string HbusdServer::list() const {
    std::string out = "ok\n";
    for (const auto &[key, t] : tlocs_)
        out += hbus_format_tloc(t) + "\n";
    out += subscribed_ ? "# plxd: subscribed\n" : "# plxd: not subscribed\n";
    return out;
}
