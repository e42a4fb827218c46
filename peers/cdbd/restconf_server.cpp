#include "peers/cdbd/restconf_server.h"

#include <arpa/inet.h>
#include <event2/buffer.h>
#include <event2/event.h>
#include <event2/http.h>
#include <event2/keyvalq_struct.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <thread>

#include "peers/cdbd/cdbd_internal.h"
#include "peers/cdbd/restconf_data.h"
#include "peers/cdbd/restconf_metrics.h"

namespace cdbd {

using restconf::Format;
using restconf::Response;

struct RestconfServer::Impl {
    RestconfOptions opts;
    restconf::DataApi api{opts};
    event_base *base = nullptr;
    evhttp *http = nullptr;
    event *wake = nullptr;
    int pipe_fds[2] = {-1, -1};
    uint16_t port = 0;
    std::string token;
    std::thread thread;

    explicit Impl(RestconfOptions o) : opts(std::move(o)) {}
    ~Impl() { shutdown(); }

    void shutdown() {
        if (thread.joinable()) {
            const char c = 0;
            (void)!write(pipe_fds[1], &c, 1);
            thread.join();
        }
        if (wake)
            event_free(wake);
        if (http)
            evhttp_free(http);
        if (base)
            event_base_free(base);
        for (int &fd : pipe_fds)
            if (fd >= 0) {
                close(fd);
                fd = -1;
            }
        wake = nullptr;
        http = nullptr;
        base = nullptr;
    }

    static void on_wake(evutil_socket_t, short, void *arg) {
        event_base_loopbreak(static_cast<Impl *>(arg)->base);
    }

    static void on_request(evhttp_request *req, void *arg) { static_cast<Impl *>(arg)->serve(req); }

    bool authorised(evhttp_request *req) const {
        const char *auth =
            evhttp_find_header(evhttp_request_get_input_headers(req), "Authorization");
        if (!auth || strncasecmp(auth, "Bearer ", 7) != 0)
            return false;
        const std::string given(auth + 7);
        // Compared in constant time: the token's length is public, its bytes are not.
        if (given.size() != token.size())
            return false;
        unsigned char diff = 0;
        for (size_t i = 0; i < token.size(); ++i)
            diff |= static_cast<unsigned char>(given[i] ^ token[i]);
        return diff == 0;
    }

    static void reply(evhttp_request *req, const Response &r) {
        evkeyvalq *h = evhttp_request_get_output_headers(req);
        if (!r.content_type.empty())
            evhttp_add_header(h, "Content-Type", r.content_type.c_str());
        if (!r.location.empty())
            evhttp_add_header(h, "Location", r.location.c_str());
        if (r.status == 401)
            evhttp_add_header(h, "WWW-Authenticate", "Bearer realm=\"restconf\"");
        evhttp_add_header(h, "Cache-Control", "no-cache");
        evbuffer *b = evbuffer_new();
        if (r.status != 204 && !r.body.empty())
            evbuffer_add(b, r.body.data(), r.body.size());
        evhttp_send_reply(req, r.status, reason(r.status), b);
        evbuffer_free(b);
    }

    static const char *reason(int status) {
        switch (status) {
            case 200:
                return "OK";
            case 201:
                return "Created";
            case 204:
                return "No Content";
            case 400:
                return "Bad Request";
            case 401:
                return "Unauthorized";
            case 403:
                return "Forbidden";
            case 404:
                return "Not Found";
            case 405:
                return "Method Not Allowed";
            case 409:
                return "Conflict";
            case 413:
                return "Payload Too Large";
            case 415:
                return "Unsupported Media Type";
            case 503:
                return "Service Unavailable";
            default:
                return status >= 500 ? "Internal Server Error" : "Error";
        }
    }

    static const char *method_name(evhttp_cmd_type t) {
        switch (t) {
            case EVHTTP_REQ_GET:
                return "GET";
            case EVHTTP_REQ_HEAD:
                return "HEAD";
            case EVHTTP_REQ_POST:
                return "POST";
            case EVHTTP_REQ_PUT:
                return "PUT";
            case EVHTTP_REQ_DELETE:
                return "DELETE";
            case EVHTTP_REQ_PATCH:
                return "PATCH";
            case EVHTTP_REQ_OPTIONS:
                return "OPTIONS";
            default:
                return "OTHER";
        }
    }

    void serve(evhttp_request *req) {
        evkeyvalq *in_h = evhttp_request_get_input_headers(req);
        const char *accept = evhttp_find_header(in_h, "Accept");
        const char *ctype = evhttp_find_header(in_h, "Content-Type");
        const Format out =
            accept && strstr(accept, "xml") && !strstr(accept, "json") ? Format::Xml : Format::Json;
        const Format in = ctype && strstr(ctype, "xml") ? Format::Xml : Format::Json;
        if (!authorised(req))
            return reply(req, restconf::error(401, "access-denied",
                                              "a valid bearer token is required", out));
        const evhttp_uri *uri = evhttp_request_get_evhttp_uri(req);
        const char *raw = uri ? evhttp_uri_get_path(uri) : nullptr;
        const std::string path = raw ? raw : "/";
        const std::string method = method_name(evhttp_request_get_command(req));
        evbuffer *body_buf = evhttp_request_get_input_buffer(req);
        std::string body(evbuffer_get_length(body_buf), '\0');
        evbuffer_copyout(body_buf, body.data(), body.size());

        auto only_get = [&](const std::string &type, const std::string &text) {
            if (method != "GET" && method != "HEAD")
                return reply(req, restconf::error(405, "operation-not-supported",
                                                  method + " is not supported here", out));
            Response r;
            r.content_type = type;
            r.body = text;
            reply(req, r);
        };
        if (path == "/.well-known/host-meta")
            return only_get("application/xrd+xml",
                            "<XRD xmlns=\"http://docs.oasis-open.org/ns/xri/xrd-1.0\">\n"
                            "  <Link rel=\"restconf\" href=\"/restconf\"/>\n</XRD>\n");
        if (path == "/restconf/yang-library-version")
            return only_get(
                out == Format::Xml ? "application/yang-data+xml" : "application/yang-data+json",
                out == Format::Xml ? "<yang-library-version xmlns=\"urn:ietf:params:xml:ns:yang:"
                                     "ietf-restconf\">2016-06-21</yang-library-version>\n"
                                   : "{\"ietf-restconf:yang-library-version\":\"2016-06-21\"}\n");
        if (path == "/restconf" || path == "/restconf/")
            return only_get("application/yang-data+json",
                            "{\"ietf-restconf:restconf\":{\"data\":{},\"operations\":{},"
                            "\"yang-library-version\":\"2016-06-21\"}}\n");
        if (path == "/metrics") {
            if (method != "GET")
                return only_get("", "");
            std::string text, err;
            if (!restconf::metrics_text(api, opts.sysmgr_status, text, err))
                return reply(req, restconf::error(503, "resource-denied", err, out));
            Response r;
            r.content_type = "text/plain; version=0.0.4; charset=utf-8";
            r.body = text;
            return reply(req, r);
        }
        if (path == "/restconf/data" || path.starts_with("/restconf/data/"))
            return reply(req, api.handle(method, std::string_view(path).substr(14), body, in, out));
        reply(req, restconf::error(404, "invalid-value", "no resource " + path, out));
    }
};

RestconfServer::RestconfServer(RestconfOptions opts)
    : impl_(std::make_unique<Impl>(std::move(opts))) {}

RestconfServer::~RestconfServer() {
    stop();
}

uint16_t RestconfServer::port() const {
    return impl_->port;
}

const std::string &RestconfServer::token() const {
    return impl_->token;
}

void RestconfServer::stop() {
    impl_->shutdown();
}

namespace {

// Writes text to path readable and writable by its owner only, replacing what was there.
bool write_private(const std::string &path, const std::string &text, std::string &err) {
    const std::string tmp = path + ".tmp";
    unlink(tmp.c_str());
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 || fchmod(fd, 0600) != 0 ||
        write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
        fsync(fd) != 0) {
        err = "cannot write " + tmp + ": " + strerror(errno);
        if (fd >= 0)
            close(fd);
        return false;
    }
    close(fd);
    if (rename(tmp.c_str(), path.c_str()) != 0) {
        err = "cannot write " + path + ": " + strerror(errno);
        return false;
    }
    return true;
}

}  // namespace

bool RestconfServer::start(std::string &err) {
    Impl &m = *impl_;
    if (m.opts.addr != "127.0.0.1" && m.opts.addr != "::1") {
        err = "the RESTCONF server listens on the loopback address only";
        return false;
    }
    if (!m.api.init(err))
        return false;
    std::vector<uint8_t> raw = random_bytes(32);
    static const char hex[] = "0123456789abcdef";
    m.token.clear();
    for (uint8_t b : raw) {
        m.token += hex[b >> 4];
        m.token += hex[b & 15];
    }
    m.base = event_base_new();
    m.http = m.base ? evhttp_new(m.base) : nullptr;
    if (!m.http || pipe2(m.pipe_fds, O_CLOEXEC) != 0) {
        err = "cannot set up the HTTP server";
        m.shutdown();
        return false;
    }
    evhttp_set_max_body_size(m.http, static_cast<ev_ssize_t>(m.opts.max_body));
    evhttp_set_max_headers_size(m.http, 16384);
    evhttp_set_timeout(m.http, m.opts.timeout_s);
    evhttp_set_allowed_methods(m.http, EVHTTP_REQ_GET | EVHTTP_REQ_HEAD | EVHTTP_REQ_POST |
                                           EVHTTP_REQ_PUT | EVHTTP_REQ_DELETE | EVHTTP_REQ_PATCH |
                                           EVHTTP_REQ_OPTIONS);
    evhttp_set_gencb(m.http, Impl::on_request, &m);
    evhttp_bound_socket *sock =
        evhttp_bind_socket_with_handle(m.http, m.opts.addr.c_str(), m.opts.port);
    if (!sock) {
        err = "cannot listen on " + m.opts.addr + ":" + std::to_string(m.opts.port) + ": " +
              strerror(errno);
        m.shutdown();
        return false;
    }
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    getsockname(evhttp_bound_socket_get_fd(sock), reinterpret_cast<sockaddr *>(&ss), &len);
    m.port = ntohs(ss.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_port
                                            : reinterpret_cast<sockaddr_in *>(&ss)->sin_port);
    if (!write_private(m.opts.token_file, m.token + "\n", err) ||
        (!m.opts.port_file.empty() &&
         !write_private(m.opts.port_file, std::to_string(m.port) + "\n", err))) {
        m.shutdown();
        return false;
    }
    m.wake = event_new(m.base, m.pipe_fds[0], EV_READ, Impl::on_wake, &m);
    event_add(m.wake, nullptr);
    m.thread = std::thread([&m] { event_base_dispatch(m.base); });
    return true;
}

std::unique_ptr<RestconfServer> start_restconf(const ServerOptions &opts, uint16_t db_port,
                                               uint16_t port, const std::string &dir,
                                               const std::string &sysmgr_status, int timeout_s,
                                               std::string &err) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    // The server is a command-line client of this database: the client library finds it (and
    // the access secret) through the environment.
    setenv("CONFD_IPC_ADDR", opts.addr.c_str(), 1);
    setenv("CONFD_IPC_PORT", std::to_string(db_port).c_str(), 1);
    if (!opts.access_file.empty())
        setenv("CONFD_IPC_ACCESS_FILE", opts.access_file.c_str(), 1);
    RestconfOptions ro;
    ro.port = port;
    ro.token_file = dir + "/restconf.token";
    ro.port_file = dir + "/restconf.port";
    ro.yang_dir = opts.yang_dir;
    ro.db_addr = opts.addr;
    ro.db_port = db_port;
    ro.sysmgr_status = sysmgr_status;
    ro.timeout_s = timeout_s;
    auto server = std::make_unique<RestconfServer>(ro);
    if (!server->start(err))
        return nullptr;
    return server;
}

}  // namespace cdbd
