// Client library: the answer to the server's access challenge.
#include <string>
#include <vector>

#include "platform/confd/confd_auth.h"
#include "platform/confd/confd_client.h"

namespace confd_client {

std::string auth_role(confd_wire::WireSock kind, const std::string &name) {
    return std::to_string(static_cast<uint32_t>(kind)) + ":" + name;
}

bool auth_answer(const std::vector<uint8_t> &nonce, const std::string &role,
                 std::vector<uint8_t> &mac, std::string &err) {
    const confd_auth::ClientAuth auth = confd_auth::ClientAuth::from_env();
    if (!auth.has_key()) {
        std::string why;
        confd_auth::secret_from_env(why);
        err = "the database asks for the IPC access secret: " +
              (why.empty() ? std::string("CONFD_IPC_ACCESS_FILE is not set") : why);
        return false;
    }
    auto answer = auth.respond(nonce, role, err);
    if (!answer)
        return false;
    mac.assign(answer->begin(), answer->end());
    return true;
}

}  // namespace confd_client
