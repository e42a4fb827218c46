// The configuration database's wire protocol, shared by the client library and the server.
//
// Every message is a frame: a 4-byte little-endian length of what follows, then a 2-byte
// operation code, a 2-byte status and the payload. Integers are little-endian.
//
// A connection begins with a Hello frame from the client: u32 socket kind (WireSock), string
// client name and, for a daemon's control and worker sockets, u64 the daemon's token; the
// server answers with status 0 (see kStatusChallenge for access control). After that the client
// sends one request at a time and reads its reply: same operation code, status kStatusOk with the
// reply payload, or kStatusError with i32 error code and string message. A reply may be delayed
// (WaitStart until the start phase is reached; Trigger and the CLI's commits until the last
// subscriber has synchronised).
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

#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
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
    Auth = 2,  // bytes: HMAC-SHA256 of the challenge keyed with the access secret
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
    // daemons: registrations on the control socket (request and reply)
    RegTrans = 60,
    RegValidate = 61,
    RegValpoint = 62,  // string valpoint
    RegAction = 63,    // string actionpoint
    RegData = 64,      // string callpoint
    RegStream = 65,    // string stream name
    RegSnmp = 66,      // string notify name, string context name
    RegDone = 67,
    // daemons: one-way frames (no reply)
    NotifSend = 70,  // string stream, value datetime, u32 n, tagged values
    NotifSnmp = 71,  // string notify name, string notification, u32 n, (u8 kind, string, value)
    // management socket
    MaapiAttach = 75,    // i32 namespace, i32 thandle
    MaapiDetach = 76,    // i32 thandle
    MaapiCliWrite = 77,  // i32 user session, string text
    // command line: operational data, actions, notifications
    CliDp = 80,       // u16 callback op (CbGetObject ...), then that call's arguments
    CliAction = 81,   // string path, u32 n, (string name, string value); reply u32 n, tagged
    CliNotifs = 82,   // u8 format (0 text, 1 xml), u8 follow; reply string backlog
    NotifEvent = 83,  // pushed to a following command line: string text
    CliOutput = 84,   // pushed to a command line while its action runs: string text
    // server -> daemon requests; every request and reply payload begins with u32 call id.
    // An error reply carries i32 code, string message, u32 call id.
    CbTransInit = 100,       // control: i32 thandle, i32 usid, string user; reply u64 worker
    CbTransFinish = 101,     // worker: i32 thandle
    CbValidateInit = 102,    // control: i32 thandle, i32 usid, string user; reply u64 worker
    CbValidateStop = 103,    // worker: i32 thandle
    CbActionInit = 104,      // control: i32 usid, string user, string actionpoint; reply u64 worker
    CbAction = 105,          // worker: i32 usid, string actionpoint, u32 tag, u32 ns, keypath,
                             //   u32 n, tagged; reply u32 n, tagged
    CbGetObject = 106,       // worker: i32 thandle, string callpoint, keypath
    CbGetNextObject = 107,   // ... , i64 next
    CbFindNextObject = 108,  // ... , i32 find type, u32 n, values
    // Data replies: u8 kind (DpReply), then n and tagged values (Object, NextObject) or
    // values (NextKey), then i64 next (NextObject, NextKey). n -1 in NextKey ends the list.
};

enum class DpReply : uint8_t { NotFound = 0, Object = 1, NextObject = 2, NextKey = 3 };

// Hello reply: u64 the server's id of the connection (a worker's id names it in replies to
// init requests). With an access secret the server first answers Hello with kStatusChallenge
// and a nonce; the client proves the secret with Auth (HMAC of the nonce) and gets the Hello
// reply, or the connection is closed.
inline constexpr uint16_t kStatusChallenge = 2;

enum class EditMode : uint8_t { Merge = 0, Replace = 1 };

inline constexpr uint16_t kStatusOk = 0;
inline constexpr uint16_t kStatusError = 1;
inline constexpr size_t kHeaderSize = 8;
inline constexpr uint32_t kMaxFrame = 64u << 20;
// The largest frame a connection may send before its Hello is answered: a Hello carries a
// socket kind, a name and a token, an Auth a MAC.
inline constexpr uint32_t kMaxHelloFrame = 64u << 10;
// How deeply value lists (C_LIST) may nest on the wire. Key paths and leaf-lists need one
// level; anything deeper than this is refused rather than followed.
inline constexpr unsigned kMaxValueDepth = 8;

class WireWriter {
  public:
    explicit WireWriter(Op op, uint16_t status = kStatusOk);
    void u8(uint8_t v) { buf_.push_back(v); }
    void u16(uint16_t v) { little_endian(v); }
    void u32(uint32_t v) { little_endian(v); }
    void u64(uint64_t v) { little_endian(v); }
    void i32(int32_t v) { u32(static_cast<uint32_t>(v)); }
    void bytes(const void *p, size_t n);
    void str(std::string_view s);
    // Encodes one value; false (nothing written) for a type the protocol does not carry or
    // lists nested deeper than kMaxValueDepth.
    bool value(const confd_value_t &v) { return value(v, 0); }
    bool tagged(const confd_tag_value_t &tv);
    // u32 count, then the tagged values; false (stopping there) at a value that cannot be
    // written.
    bool tagged_list(std::span<const confd_tag_value_t> tvs);
    bool keypath(const confd_hkeypath_t &kp);
    // Finishes the frame (fills the length) and returns it.
    const std::vector<uint8_t> &finish();

  private:
    bool value(const confd_value_t &v, unsigned depth);
    template <typename T>
    void little_endian(T v) {
        uint8_t b[sizeof(T)];
        if constexpr (std::endian::native == std::endian::little) {
            std::memcpy(b, &v, sizeof(T));
        } else {
            for (size_t i = 0; i < sizeof(T); ++i)
                b[i] = static_cast<uint8_t>(v >> (8 * i));
        }
        buf_.insert(buf_.end(), b, b + sizeof(T));
    }
    std::vector<uint8_t> buf_;
};

// Reads a payload; every accessor returns false (and stays failed) once data runs out.
class WireReader {
  public:
    WireReader(const uint8_t *p, size_t n) : p_(p), end_(p + n) {}
    bool u8(uint8_t &v) {
        const uint8_t *p;
        if (!take(1, p))
            return false;
        v = p[0];
        return true;
    }
    bool u16(uint16_t &v) { return little_endian(v); }
    bool u32(uint32_t &v) { return little_endian(v); }
    bool u64(uint64_t &v) { return little_endian(v); }
    bool i32(int32_t &v);
    bool str(std::string &s);
    bool bytes(void *out, size_t n);
    // Values are decoded into memory of their own (malloc); free with confd_free_value. Lists
    // nested deeper than kMaxValueDepth fail the reader.
    bool value(confd_value_t &v) { return value_as<true>(v, 0); }
    // Checks one value as value() would and steps over it, keeping nothing.
    bool skip_value();
    bool tagged(confd_tag_value_t &tv);
    // u32 count, then that many tagged values, appended to out: the values read are out's to
    // free, also when reading fails part way.
    bool tagged_list(std::vector<confd_tag_value_t> &out);
    bool keypath(confd_hkeypath_t &kp);
    // Checks a tagged list as tagged_list() would and steps over it.
    bool skip_tagged_list();
    // Where the reader is: the next byte it would read.
    const uint8_t *position() const { return p_; }
    bool ok() const { return ok_; }
    bool at_end() const { return p_ == end_; }

  private:
    // Keep: decode into memory of the value's own; otherwise only check and step over.
    template <bool Keep>
    bool value_as(confd_value_t &v, unsigned depth);
    bool take(size_t n, const uint8_t *&out) {
        if (!ok_ || static_cast<size_t>(end_ - p_) < n) {
            ok_ = false;
            return false;
        }
        out = p_;
        p_ += n;
        return true;
    }
    template <typename T>
    bool little_endian(T &v) {
        const uint8_t *p;
        if (!take(sizeof(T), p))
            return false;
        if constexpr (std::endian::native == std::endian::little) {
            std::memcpy(&v, p, sizeof(T));
        } else {
            v = 0;
            for (size_t i = sizeof(T); i-- > 0;)
                v = static_cast<T>((v << 8) | p[i]);
        }
        return true;
    }
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

// Frees the values a key path owns (as WireReader::keypath fills it) and empties it.
void free_keypath(confd_hkeypath_t &kp);

// Stores u in the member of v that a scalar type carried as 64 bits names: integers (C_INT8 ..
// C_UINT64, C_BIT32, C_BIT64, C_SYMBOL, C_ENUM_VALUE) truncated to their width, C_BOOL as
// non-zero, C_DOUBLE by its bits. v.type is left to the caller; other types are ignored.
void set_scalar(confd_value_t &v, confd_vtype type, uint64_t u);

// Builds an error frame for op: code and message.
std::vector<uint8_t> error_frame(Op op, int code, std::string_view msg);

// Stable hash of a name into 0 .. 2^31-1 (FNV-1a, top bit cleared): the tag of every schema
// name and the namespace of every module that carries no pinned number.
uint32_t name_hash(std::string_view name);

}  // namespace confd_wire
