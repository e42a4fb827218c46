// The commit journal of the running datastore. The datastore is a snapshot (running.json,
// rewritten only at start and when the journal grows large) and an append-only journal of the
// commits made since: each commit is one record, written before it is delivered to
// subscribers and made durable with one fdatasync before it is acknowledged, instead of
// rewriting the whole datastore.
//
// File layout (running.journal): a 16-byte header {magic "PLXJ", version 1, the FNV-1a hash of
// the snapshot's bytes (u64)}, then records {payload length (u32), CRC-32 of kind and payload
// (u32), kind (u8), payload}. The header ties the journal to the one snapshot it extends: a
// journal whose hash does not match the snapshot (a crash after a new snapshot was renamed into
// place and before the fresh journal was) is left unread, the snapshot holding every commit it
// recorded. A record cut short or damaged by a crash in the middle of its write ends the
// journal: that commit was never acknowledged and is absent, whole.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace cdbd {

// A journal larger than this, or holding this many commits, is folded into a new snapshot after
// the commit that reached it: a start replays at most that much (each replayed commit is
// validated against the whole configuration again).
inline constexpr uint64_t kJournalCompactBytes = 8u << 20;
inline constexpr uint32_t kJournalCompactRecords = 64;

struct JournalRecord {
    uint8_t kind = 0;
    std::vector<uint8_t> payload;
};

class CommitJournal {
  public:
    CommitJournal() = default;
    ~CommitJournal();
    CommitJournal(const CommitJournal &) = delete;
    CommitJournal &operator=(const CommitJournal &) = delete;

    // Reads the records of the journal at `path` that extend the snapshot `snapshot` (none
    // when the file is missing or belongs to another snapshot). False only when the file
    // exists and cannot be read.
    static bool read(const std::string &path, std::string_view snapshot,
                     std::vector<JournalRecord> &out, std::string &err);
    // Starts a fresh, empty journal for `snapshot` (written beside, synced, renamed into place)
    // and keeps it open for appending.
    bool reset(const std::string &path, std::string_view snapshot, std::string &err);
    // Appends one record and makes it durable. On failure the journal is unchanged (a partial
    // write is cut off again).
    bool append(uint8_t kind, const std::vector<uint8_t> &payload, std::string &err);
    // The same in two steps, so that the caller can work while the record reaches the disk:
    // write() puts the record in the file (from there it survives the end of the process, not
    // a power loss), sync() makes it durable. A failure of write() leaves the journal as it was
    // before; so does a failure of sync() with cut_on_failure, while without it the record
    // stays in the file as the journal's last (its commit is already in effect). Between the
    // two the journal must not be used, and sync() may run on another thread.
    bool write(uint8_t kind, const std::vector<uint8_t> &payload, std::string &err);
    bool sync(std::string &err, bool cut_on_failure = true);
    // Bytes written since the last reset (the header included), and records appended.
    uint64_t size() const { return size_; }
    uint32_t records() const { return records_; }
    // Whether the journal has grown enough to be folded into a new snapshot.
    bool wants_compaction() const {
        return size_ > kJournalCompactBytes || records_ >= kJournalCompactRecords;
    }

    static uint32_t crc32(const uint8_t *p, size_t n, uint32_t crc = 0);
    static uint64_t fnv1a(std::string_view bytes);

  private:
    void cut_back();
    int fd_ = -1;
    uint64_t size_ = 0;
    uint32_t records_ = 0;
    uint64_t written_ = 0;  // bytes of the record written and not yet synced
    std::string path_;
};

// Writes `text` to `path` atomically and durably: a file beside it, fsync, rename, fsync of the
// directory.
bool write_file_durably(const std::string &path, std::string_view text, std::string &err);

}  // namespace cdbd
