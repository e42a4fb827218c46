// What plxd's links to other daemons share: a transport handle whose buffers come from the heap,
// opened with the link's own connection and receive callbacks, and closed once.
#pragma once

#include <cstdint>

#include "common/msgq_util.h"

struct plx_ctx;

// Opens plxd's end of the link to `peer` (MSGQ_HANDLE_TYPE_CLIENT or _SERVER) on the daemon's
// event base; a null `down` ignores the loss of the connection. Null when out of memory.
msgq_handle *plx_link_open(plx_ctx *ctx, uint32_t peer, uint32_t type, msgq_conn_fn up,
                           msgq_conn_fn down, msgq_recv_fn recv);
// Closes the link when open and forgets it.
void plx_link_close(msgq_handle *&link);
