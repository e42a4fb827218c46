// Client library: the management socket.
#include "platform/confd/confd_maapi.h"

#include <unistd.h>

#include "platform/confd/confd_client.h"

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
