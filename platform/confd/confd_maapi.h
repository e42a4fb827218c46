/*
 * Configuration-database client library: the management socket.
 *
 * This server provides the connection, the key installation that readers of encrypted
 * leaves call first (the router's configuration holds no encrypted leaves, so installing the
 * keys does nothing else), attaching to a daemon's transaction and printing to the command
 * line session that invoked an action.
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

struct confd_trans_ctx;

/*
 * Attaches the socket to the transaction a daemon's callback is serving (a validation or a
 * data-provider transaction), so that the daemon may read through it; hashed_ns 0 means any
 * namespace. Fails when the server knows no such transaction.
 */
int maapi_attach(int sock, int hashed_ns, struct confd_trans_ctx *ctx);
int maapi_detach(int sock, struct confd_trans_ctx *ctx);
/*
 * Writes text to the command-line session usess (an action's uinfo->usid): the operator sees
 * it while the action runs. printf-style; maapi_cli_write takes size bytes of buf.
 */
int maapi_cli_printf(int sock, int usess, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
int maapi_cli_write(int sock, int usess, const char *buf, int size);

#ifdef __cplusplus
}
#endif

#endif /* PLX_CONFD_MAAPI_H */
