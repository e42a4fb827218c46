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
    // Used by the message-queue transport.
    PLX_ECHILD = ECHILD,  // 10
    PLX_EAGAIN = EAGAIN,  // 11: would block, try again
    PLX_EFAULT = EFAULT,  // 14
};

static_assert(PLX_ENOENT == 2 && PLX_ENOMEM == 12 && PLX_EEXIST == 17 && PLX_EINVAL == 22 &&
              PLX_EBADMSG == 74 && PLX_ECHILD == 10 && PLX_EAGAIN == 11 && PLX_EFAULT == 14);

}  // namespace plx

using plx::PLX_EAGAIN;
using plx::PLX_EBADMSG;
using plx::PLX_ECHILD;
using plx::PLX_EEXIST;
using plx::PLX_EFAULT;
using plx::PLX_EINVAL;
using plx::PLX_ENOENT;
using plx::PLX_ENOMEM;
using plx::PLX_OK;
