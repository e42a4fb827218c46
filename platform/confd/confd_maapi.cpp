// Client library: the management socket.
#include "platform/confd/confd_maapi.h"

#include <stdarg.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/confd/confd_client.h"
#include "platform/confd/confd_dp.h"

using confd_wire::Op;
using confd_wire::WireWriter;

extern "C" int maapi_connect(int sock, const struct sockaddr *srv, int srv_sz) {
    return confd_client::connect_sock(sock, srv, srv_sz, confd_wire::WireSock::Maapi, "maapi");
}

extern "C" int maapi_close(int sock) {
    confd_client::forget_sock(sock);
    if (close(sock) != 0)
        return confd_client::set_err(CONFD_ERR_OS, "close failed");
    return CONFD_OK;
}

extern "C" int maapi_install_crypto_keys(int sock) {
    return confd_client::sock_state(sock) ? CONFD_OK : CONFD_ERR;
}

extern "C" int maapi_attach(int sock, int hashed_ns, struct confd_trans_ctx *ctx) {
    if (!ctx)
        return confd_client::set_err(CONFD_ERR_PROTOUSAGE, "no transaction");
    WireWriter w(Op::MaapiAttach);
    w.i32(hashed_ns);
    w.i32(ctx->thandle);
    std::vector<uint8_t> reply;
    return confd_client::request(sock, w.finish(), reply);
}

extern "C" int maapi_detach(int sock, struct confd_trans_ctx *ctx) {
    if (!ctx)
        return confd_client::set_err(CONFD_ERR_PROTOUSAGE, "no transaction");
    WireWriter w(Op::MaapiDetach);
    w.i32(ctx->thandle);
    std::vector<uint8_t> reply;
    return confd_client::request(sock, w.finish(), reply);
}

extern "C" int maapi_cli_write(int sock, int usess, const char *buf, int size) {
    if (size < 0 || (size > 0 && !buf))
        return confd_client::set_err(CONFD_ERR_PROTOUSAGE, "bad text");
    WireWriter w(Op::MaapiCliWrite);
    w.i32(usess);
    w.str(std::string_view(buf ? buf : "", static_cast<size_t>(size)));
    std::vector<uint8_t> reply;
    return confd_client::request(sock, w.finish(), reply);
}

extern "C" int maapi_cli_printf(int sock, int usess, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    char *text = nullptr;
    int n = vasprintf(&text, fmt, ap);
    va_end(ap);
    if (n < 0)
        return confd_client::set_err(CONFD_ERR_MALLOC, "out of memory");
    int rc = maapi_cli_write(sock, usess, text, n);
    free(text);
    return rc;
}
