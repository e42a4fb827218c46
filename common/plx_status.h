// Status codes shared by every module: plain errno values, 0 for success.
#pragma once

#include <cerrno>

namespace plx {

enum Status : int {
    PLX_OK = 0,
    PLX_ENOENT = ENOENT,    // 2: not found
    PLX_ENOMEM = ENOMEM,    // 12: out of memory
    PLX_EEXIST = EEXIST,    // 17: already exists
    PLX_EINVAL = EINVAL,    // 22: invalid
    PLX_EBADMSG = EBADMSG,  // 74: missing argument or context
    PLX_ECHILD = ECHILD,    // 10
    PLX_EAGAIN = EAGAIN,    // 11: would block, try again
    PLX_EFAULT = EFAULT,    // 14

    // Results of a message-queue write (msgq_write) other than PLX_OK. On any of them the
    // caller still owns the buffer.
    PLX_MSGQ_BAD_ARGS = PLX_ECHILD,       // no handle or no buffer given
    PLX_MSGQ_QUEUE_FULL = PLX_EAGAIN,     // not taken now: the send queue is at its limit or
                                          // out of memory (a blocking send failed: link dropped)
    PLX_MSGQ_NOT_CONNECTED = PLX_EFAULT,  // the link is down (or going down): nothing is sent
};

static_assert(PLX_ENOENT == 2 && PLX_ENOMEM == 12 && PLX_EEXIST == 17 && PLX_EINVAL == 22 &&
              PLX_EBADMSG == 74 && PLX_ECHILD == 10 && PLX_EAGAIN == 11 && PLX_EFAULT == 14);
static_assert(PLX_MSGQ_BAD_ARGS == 10 && PLX_MSGQ_QUEUE_FULL == 11 && PLX_MSGQ_NOT_CONNECTED == 14);

}  // namespace plx

using plx::PLX_EAGAIN;
using plx::PLX_EBADMSG;
using plx::PLX_ECHILD;
using plx::PLX_EEXIST;
using plx::PLX_EFAULT;
using plx::PLX_EINVAL;
using plx::PLX_ENOENT;
using plx::PLX_ENOMEM;
using plx::PLX_MSGQ_BAD_ARGS;
using plx::PLX_MSGQ_NOT_CONNECTED;
using plx::PLX_MSGQ_QUEUE_FULL;
using plx::PLX_OK;
