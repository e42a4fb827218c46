// The configuration database's wire protocol, shared by the client library and the server.
//
// Every message is a frame: a 4-byte little-endian length of what follows, then a 2-byte
// operation code, a 2-byte status and the payload. Integers are little-endian.
//
// A connection begins with a Hello frame from the client: u32 socket kind (WireSock), string
// client name; the server answers with status 0. After that the client sends one request at a
// time and reads its reply: same operation code, status kStatusOk with the reply payload, or
// kStatusError with i32 error code and string message. A reply may be delayed (WaitStart
// until the start phase is reached; Trigger and the CLI's commits until the last subscriber
// has synchronised).
//
// On a subscription socket the server also sends Notify frames of its own (status 0) after
// SubscribeDone. A Notify frame is followed by nothing else on that socket until the client
// sends SubSync; the SubSync reply comes before the next Notify.
//
// Payload encodings:
//   string   u32 length + bytes
//   value    u8 type code + type-specific body (see WireWriter::value)
//   tagged   u32 tag, u32 ns, value
//   keypath  u32 len, then for each element from index len-1 down to 0: u8 count of values
//            (a plain tag or a key set), the values
// Notify:    u32 sub type (cdb_sub_notification), u32 flags, u32 point count, per point:
//            i32 id, u8 list point, u32 event count, events, u32 point-modification count, tagged
//            values. Event: u32 depth, u8 op, keypath, value old, value new, u32 count, tagged
//            values.
// Schema reply: see cdbd's schema export (SchemaBlob) and the client's loader.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/confd/confd_lib.h"

namespace confd_wire {

enum class WireSock : uint32_t {
    CdbRead = 0,
    CdbSubscription = 1,
    CdbData = 2,
    Schema = 10,
    Maapi = 11,
    Cli = 12,
    Control = 13,
    Worker = 14,
};

enum class Op : uint16_t {
    Hello = 1,
    // data sockets
    StartSession = 10,
    EndSession = 11,
    Get = 12,
    Exists = 13,
    NumInstances = 14,
    SetElem = 15,
    Create = 16,
    Delete = 17,
    GetPhase = 18,
    WaitStart = 19,
    Trigger = 20,
    TriggerOper = 21,
    // subscription sockets
    Subscribe = 30,
    SubscribeDone = 31,
    SubSync = 32,
    Notify = 33,
    // schema
    GetSchema = 40,
    // command line
    CliEdit = 50,     // u8 mode (EditMode), u8 format (0 xml, 1 json), string text
    CliSet = 51,      // string path, string value (empty: create the node)
    CliDelete = 52,   // string path
    CliShow = 53,     // string path ("" all), u8 format (0 xml, 1 json, 2 text), u8 oper
    CliOperSet = 54,  // string path, string value
    CliOperDelete = 55,
    CliStatus = 56,
    CliPhase = 57,    // i32 target phase (-1: next)
    CliOperGet = 58,  // string path
};

enum class EditMode : uint8_t { Merge = 0, Replace = 1 };

inline constexpr uint16_t kStatusOk = 0;
inline constexpr uint16_t kStatusError = 1;
inline constexpr size_t kHeaderSize = 8;
inline constexpr uint32_t kMaxFrame = 64u << 20;

class WireWriter {
  public:
    explicit WireWriter(Op op, uint16_t status = kStatusOk);
    void u8(uint8_t v) { buf_.push_back(v); }
    void u16(uint16_t v);
    void u32(uint32_t v);
    void u64(uint64_t v);
    void i32(int32_t v) { u32(static_cast<uint32_t>(v)); }
    void bytes(const void *p, size_t n);
    void str(std::string_view s);
    // Encodes one value; false (nothing written) for a type the protocol does not carry.
    bool value(const confd_value_t &v);
    bool tagged(const confd_tag_value_t &tv);
    bool keypath(const confd_hkeypath_t &kp);
    // Finishes the frame (fills the length) and returns it.
    const std::vector<uint8_t> &finish();

  private:
    std::vector<uint8_t> buf_;
};

// Reads a payload; every accessor returns false (and stays failed) once data runs out.
class WireReader {
  public:
    WireReader(const uint8_t *p, size_t n) : p_(p), end_(p + n) {}
    bool u8(uint8_t &v);
    bool u16(uint16_t &v);
    bool u32(uint32_t &v);
    bool u64(uint64_t &v);
    bool i32(int32_t &v);
    bool str(std::string &s);
    bool bytes(void *out, size_t n);
    // Values are decoded into memory of their own (malloc); free with confd_free_value.
    bool value(confd_value_t &v);
    bool tagged(confd_tag_value_t &tv);
    bool keypath(confd_hkeypath_t &kp);
    bool ok() const { return ok_; }
    bool at_end() const { return p_ == end_; }

  private:
    bool take(size_t n, const uint8_t *&out);
    const uint8_t *p_;
    const uint8_t *end_;
    bool ok_ = true;
};

struct Frame {
    Op op = Op::Hello;
    uint16_t status = kStatusOk;
    std::vector<uint8_t> payload;
};

// Parses the 8-byte header; false when the length is impossible.
bool parse_header(const uint8_t *hdr, uint32_t &len, Op &op, uint16_t &status);

// Blocking helpers for the client library: whole frame writes and reads on a socket.
// They return 0, CONFD_EOF when the peer closed, or CONFD_ERR (errno set) on other errors.
int send_all(int fd, const void *p, size_t n);
int read_frame(int fd, Frame &out);

// Builds an error frame for op: code and message.
std::vector<uint8_t> error_frame(Op op, int code, std::string_view msg);

// Stable hash of a name into 0 .. 2^31-1 (FNV-1a, top bit cleared): the tag of every schema
// name and the namespace of every module that carries no pinned number.
uint32_t name_hash(std::string_view name);

}  // namespace confd_wire
