// Forwarding-table messages as fibd receives them from plxd. A message that decodes must encode
// again into one that decodes to the same fields.
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>

#include "fplink/fib_msgs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fib_msg msg;
    std::string err;
    if (fib_msg_decode(std::span<const uint8_t>(data, size), msg, &err) != 0) {
        if (err.empty())
            std::abort();  // a refusal always says why
        return 0;
    }
    const std::string first = fib_msg_json(msg);
    std::vector<uint8_t> wire;
    if (fib_msg_encode(msg, wire) != 0) {
        std::fprintf(stderr, "a decoded message does not encode:\n%s\n", first.c_str());
        std::abort();
    }
    fib_msg again;
    if (fib_msg_decode(wire, again, &err) != 0) {
        std::fprintf(stderr, "re-encoded message refused: %s\n%s\n", err.c_str(), first.c_str());
        std::abort();
    }
    if (fib_msg_json(again) != first) {
        std::fprintf(stderr, "round trip changed the message:\n%s\n%s\n", first.c_str(),
                     fib_msg_json(again).c_str());
        std::abort();
    }
    return 0;
}
