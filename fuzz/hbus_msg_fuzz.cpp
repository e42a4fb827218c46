// Messaging-daemon messages as plxd and hbusd receive them. A payload that decodes must encode
// again (unless its opaque body is too spread out to fit one message) into one that decodes to
// the same record.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/hbus/hbus_msg.h"

namespace {

bool all_zero(const hbus_msg &rec) {
    const auto *p = reinterpret_cast<const uint8_t *>(&rec);
    for (size_t i = 0; i < sizeof rec; ++i)
        if (p[i])
            return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    hbus_msg rec;
    std::string err;
    if (hbus_msg_decode(&rec, data, static_cast<uint32_t>(size), &err) != 0) {
        if (err.empty() || !all_zero(rec))
            std::abort();  // a refusal says why and leaves nothing half decoded
        return 0;
    }
    uint8_t wire[HBUS_WIRE_MAX];
    uint16_t len = 0;
    if (hbus_msg_encode(&rec, wire, &len) != 0)
        return 0;
    if (len > HBUS_WIRE_MAX)
        std::abort();
    hbus_msg again;
    if (hbus_msg_decode(&again, wire, len, &err) != 0) {
        std::fprintf(stderr, "re-encoded message refused: %s\n", err.c_str());
        std::abort();
    }
    if (std::memcmp(&rec, &again, sizeof rec) != 0) {
        std::fprintf(stderr, "round trip changed the record of type %u\n", rec.type);
        std::abort();
    }
    return 0;
}
