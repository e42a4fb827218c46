// Client library: the answer to the server's access challenge, and the check of the server's
// own proof.
#include <string>
#include <vector>

#include "platform/confd/confd_auth.h"
#include "platform/confd/confd_client.h"

namespace confd_client {

std::string auth_role(confd_wire::WireSock kind, const std::string &name) {
    return std::to_string(static_cast<uint32_t>(kind)) + ":" + name;
}

bool auth_answer(const std::vector<uint8_t> &nonce, const std::string &role,
                 std::vector<uint8_t> &mac, std::vector<uint8_t> &client_nonce, std::string &err) {
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
    confd_auth::Nonce mine{};
    if (!confd_auth::make_nonce(mine, err))
        return false;
    mac.assign(answer->begin(), answer->end());
    client_nonce.assign(mine.begin(), mine.end());
    return true;
}

bool auth_expects_proof() {
    std::string err;
    return confd_auth::secret_from_env(err).has_value();
}

bool auth_server_proven(const std::vector<uint8_t> &client_nonce, const std::string &role,
                        const std::vector<uint8_t> &proof) {
    std::string err;
    std::optional<std::string> key = confd_auth::secret_from_env(err);
    return key && confd_auth::verify_server_proof(*key, client_nonce, role, proof);
}

}  // namespace confd_client
