// Access control of the server: the challenge's nonce and the check of the client's answer.
#include "peers/cdbd/cdbd_internal.h"

namespace cdbd {

bool auth_ok(const std::vector<uint8_t> &, const std::vector<uint8_t> &,
             const std::vector<uint8_t> &) {
    return false;
}

bool CdbServer::init_snmp(std::string &) {
    return true;
}

}  // namespace cdbd
