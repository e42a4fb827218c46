// Client library: the answer to the server's access challenge.
#include <string>
#include <vector>

#include "platform/confd/confd_client.h"

namespace confd_client {

bool auth_answer(const std::vector<uint8_t> &, std::vector<uint8_t> &, std::string &err) {
    err = "the database asks for the IPC access secret, which this client cannot give";
    return false;
}

}  // namespace confd_client
