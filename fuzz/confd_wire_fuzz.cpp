// Frames of the configuration database's wire protocol as the client library reads them. The
// first byte picks what the rest is:
//   0  the payload of a change notification (what a subscriber reads after every commit)
//   1  a run of values
//   2  a key path followed by tagged values (a data-provider or action request)
//   3  a whole frame: header, then a payload as in 0 when it is a notification
// Every value read must encode again, and what that encoding decodes to must encode to the same
// bytes: the library forwards decoded values to the server and to the daemon's callbacks.
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

#include "platform/confd/confd_client.h"
#include "platform/confd/confd_wire.h"

using confd_wire::Op;
using confd_wire::WireReader;
using confd_wire::WireWriter;

namespace {

// The payload bytes of a writer's frame (its header stripped).
std::vector<uint8_t> payload_of(WireWriter &w) {
    const std::vector<uint8_t> &f = w.finish();
    return {f.begin() + confd_wire::kHeaderSize, f.end()};
}

[[noreturn]] void fail(const char *what) {
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

// Encodes x, decodes that into again and encodes the result once more: every step must succeed
// and both encodings must be the same bytes. put and get are the writer's and the reader's call
// for the kind of item; complaints name the step that failed.
template <class T, class Put, class Get>
void check_round_trip(const T &x, T &again, Put put, Get get, const char *const (&complaints)[4]) {
    WireWriter w(Op::Get);
    if (!put(w, x))
        fail(complaints[0]);
    std::vector<uint8_t> first = payload_of(w);
    WireReader r(first.data(), first.size());
    if (!get(r, again) || !r.at_end())
        fail(complaints[1]);
    WireWriter w2(Op::Get);
    if (!put(w2, again))
        fail(complaints[2]);
    if (payload_of(w2) != first)
        fail(complaints[3]);
}

void check_value(const confd_value_t &v) {
    confd_value_t again;
    check_round_trip(
        v, again, [](WireWriter &w, const confd_value_t &x) { return w.value(x); },
        [](WireReader &r, confd_value_t &x) { return r.value(x); },
        {"a decoded value does not encode", "an encoded value does not decode",
         "a re-decoded value does not encode", "a value changed on its way through the wire"});
    confd_free_value(&again);
}

void check_keypath(const confd_hkeypath_t &kp) {
    confd_hkeypath_t again{};
    check_round_trip(
        kp, again, [](WireWriter &w, const confd_hkeypath_t &x) { return w.keypath(x); },
        [](WireReader &r, confd_hkeypath_t &x) { return r.keypath(x); },
        {"a decoded key path does not encode", "an encoded key path does not decode",
         "a key path changed on its way through the wire",
         "a key path changed on its way through the wire"});
    confd_wire::free_keypath(again);
}

void notification(std::span<const uint8_t> payload) {
    uint32_t type = 0, flags = 0;
    std::vector<confd_client::PointChanges> points;
    if (!confd_client::parse_notification(payload, type, flags, points))
        return;
    for (const auto &p : points) {
        // Every event and point array passed the check on arrival: each decodes.
        for (const auto &ev : p.events) {
            const confd_client::EventData *d = ev.data();
            if (!d)
                fail("a checked event does not decode");
            confd_hkeypath_t kp{};
            d->fill_keypath(kp);
            check_keypath(kp);
            check_value(d->oldv);
            check_value(d->newv);
            for (const auto &tv : d->mods.items)
                check_value(tv.v);
        }
        const confd_client::TvArray *mods = p.point_mods();
        if (!mods)
            fail("a checked point array does not decode");
        for (const auto &tv : mods->items)
            check_value(tv.v);
    }
}

void values(std::span<const uint8_t> payload) {
    WireReader r(payload.data(), payload.size()), skip(payload.data(), payload.size());
    while (!r.at_end()) {
        confd_value_t v;
        const bool ok = r.value(v);
        // Checking a value without keeping it accepts exactly what decoding accepts.
        if (skip.skip_value() != ok || (ok && skip.position() != r.position()))
            fail("skipping a value and decoding it disagree");
        if (!ok)
            return;
        check_value(v);
        confd_free_value(&v);
    }
}

void request(std::span<const uint8_t> payload) {
    WireReader r(payload.data(), payload.size());
    confd_hkeypath_t kp{};
    confd_client::TvArray tvs;
    if (r.keypath(kp))
        check_keypath(kp);
    if (r.tagged_list(tvs.items))
        for (const auto &tv : tvs.items)
            check_value(tv.v);
    confd_wire::free_keypath(kp);
}

void frame(std::span<const uint8_t> bytes) {
    if (bytes.size() < confd_wire::kHeaderSize)
        return;
    uint32_t len = 0;
    Op op;
    uint16_t status = 0;
    if (!confd_wire::parse_header(bytes.data(), len, op, status))
        return;
    if (len < 4 || len > confd_wire::kMaxFrame)
        fail("parse_header accepted an impossible length");
    if (bytes.size() - 4 < len)
        return;  // the rest of the frame has not arrived
    std::span<const uint8_t> payload = bytes.subspan(confd_wire::kHeaderSize, len - 4);
    if (op == Op::Notify)
        notification(payload);
    else
        request(payload);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    std::span<const uint8_t> rest(data + 1, size - 1);
    switch (data[0] % 4) {
        case 0:
            notification(rest);
            break;
        case 1:
            values(rest);
            break;
        case 2:
            request(rest);
            break;
        default:
            frame(rest);
            break;
    }
    return 0;
}
