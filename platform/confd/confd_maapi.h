/*
 * Configuration-database client library: the management socket.
 *
 * This server provides the connection and the key installation that readers of encrypted
 * leaves call first; the router's configuration holds no encrypted leaves, so installing the
 * keys does nothing else.
 */
#ifndef PLX_CONFD_MAAPI_H
#define PLX_CONFD_MAAPI_H

#include "platform/confd/confd_lib.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Connects sock (a fresh AF_INET stream socket) as a management socket. */
int maapi_connect(int sock, const struct sockaddr *srv, int srv_sz);
/* Closes the socket and forgets its state. */
int maapi_close(int sock);
/* Installs the keys for encrypted leaves into the library (no encrypted leaves exist). */
int maapi_install_crypto_keys(int sock);

#ifdef __cplusplus
}
#endif

#endif /* PLX_CONFD_MAAPI_H */
