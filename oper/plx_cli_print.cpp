#include "oper/plx_cli_print.h"

#include "platform/confd/confd_maapi.h"
#include "qconfd/qconfd_api.h"

namespace {
PlxCliSink g_sink;
}  // namespace

void plx_cli_set_sink(PlxCliSink sink) {
    g_sink = std::move(sink);
}

QconfdContext *plx_cli_qconfd(const confd_user_info *uinfo) {
    if (!uinfo || !uinfo->actx.dx)
        return nullptr;
    return static_cast<QconfdContext *>(uinfo->actx.dx->d_opaque);
}

PlxCliPrinter::PlxCliPrinter(const confd_user_info *uinfo)
    : sock_(-1), usid_(uinfo ? uinfo->usid : 0) {
    if (QconfdContext *q = plx_cli_qconfd(uinfo))
        sock_ = q->maapi_sock;
}

void PlxCliPrinter::send(std::string_view text) const {
    if (g_sink)
        g_sink(usid_, text);
    else if (sock_ >= 0)
        maapi_cli_write(sock_, usid_, text.data(), static_cast<int>(text.size()));
}

void PlxCliPrinter::write(const char *text) {
    pending_ += text;
    size_t start = 0;
    for (size_t nl; (nl = pending_.find('\n', start)) != std::string::npos; start = nl + 1)
        send(std::string_view(pending_).substr(start, nl + 1 - start));
    pending_.erase(0, start);
}

void PlxCliPrinter::flush() {
    if (!pending_.empty())
        send(pending_);
    pending_.clear();
}
