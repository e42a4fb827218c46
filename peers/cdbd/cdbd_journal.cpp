#include "peers/cdbd/cdbd_journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstring>

namespace cdbd {

namespace {

constexpr uint32_t kMagic = 0x4A584C50;  // "PLXJ"
constexpr uint32_t kVersion = 1;
constexpr size_t kHeader = 16, kRecordHeader = 9;
// A record larger than this is damage, not a commit (the wire's frames are smaller).
constexpr uint32_t kMaxRecord = 1u << 30;

void put32(uint8_t *p, uint32_t v) {
    std::memcpy(p, &v, 4);
}
uint32_t get32(const uint8_t *p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

bool write_all(int fd, const uint8_t *p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

std::string dir_of(const std::string &path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
}

void sync_dir(const std::string &path) {
    int dfd = open(dir_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
}

std::array<uint8_t, kHeader> header_for(std::string_view snapshot) {
    std::array<uint8_t, kHeader> h{};
    put32(h.data(), kMagic);
    put32(h.data() + 4, kVersion);
    uint64_t hash = CommitJournal::fnv1a(snapshot);
    std::memcpy(h.data() + 8, &hash, 8);
    return h;
}

}  // namespace

uint32_t CommitJournal::crc32(const uint8_t *p, size_t n, uint32_t crc) {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    crc = ~crc;
    for (size_t i = 0; i < n; ++i)
        crc = table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

uint64_t CommitJournal::fnv1a(std::string_view bytes) {
    uint64_t h = 14695981039346656037ull;
    for (unsigned char c : bytes) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

CommitJournal::~CommitJournal() {
    if (fd_ >= 0)
        close(fd_);
}

bool CommitJournal::read(const std::string &path, std::string_view snapshot,
                         std::vector<JournalRecord> &out, std::string &err) {
    out.clear();
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return true;
        err = "cannot read " + path + ": " + strerror(errno);
        return false;
    }
    std::vector<uint8_t> data;
    uint8_t buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            err = "cannot read " + path + ": " + strerror(errno);
            close(fd);
            return false;
        }
        if (n == 0)
            break;
        data.insert(data.end(), buf, buf + n);
    }
    close(fd);
    if (data.size() < kHeader || std::memcmp(data.data(), header_for(snapshot).data(), kHeader))
        return true;
    for (size_t at = kHeader; data.size() - at >= kRecordHeader;) {
        const uint32_t len = get32(&data[at]), crc = get32(&data[at + 4]);
        if (len > kMaxRecord || data.size() - at - kRecordHeader < len ||
            crc32(&data[at + 8], size_t{len} + 1) != crc)
            break;
        JournalRecord r;
        r.kind = data[at + 8];
        r.payload.assign(data.begin() + static_cast<std::ptrdiff_t>(at + kRecordHeader),
                         data.begin() + static_cast<std::ptrdiff_t>(at + kRecordHeader + len));
        out.push_back(std::move(r));
        at += kRecordHeader + len;
    }
    return true;
}

bool CommitJournal::reset(const std::string &path, std::string_view snapshot, std::string &err) {
    const auto h = header_for(snapshot);
    const std::string tmp = path + ".tmp";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || !write_all(fd, h.data(), h.size()) || fsync(fd) != 0 ||
        rename(tmp.c_str(), path.c_str()) != 0) {
        err = "cannot start the journal " + path + ": " + strerror(errno);
        if (fd >= 0)
            close(fd);
        unlink(tmp.c_str());
        return false;
    }
    sync_dir(path);
    if (fd_ >= 0)
        close(fd_);
    fd_ = fd;
    size_ = h.size();
    records_ = 0;
    path_ = path;
    return true;
}

bool CommitJournal::append(uint8_t kind, const std::vector<uint8_t> &payload, std::string &err) {
    return write(kind, payload, err) && sync(err);
}

bool CommitJournal::write(uint8_t kind, const std::vector<uint8_t> &payload, std::string &err) {
    if (fd_ < 0) {
        err = "the journal is not open";
        return false;
    }
    std::vector<uint8_t> rec(kRecordHeader);
    put32(rec.data(), static_cast<uint32_t>(payload.size()));
    rec[8] = kind;
    rec.insert(rec.end(), payload.begin(), payload.end());
    put32(rec.data() + 4, crc32(rec.data() + 8, payload.size() + 1));
    written_ = 0;
    if (lseek(fd_, static_cast<off_t>(size_), SEEK_SET) < 0 ||
        !write_all(fd_, rec.data(), rec.size())) {
        err = "cannot write the journal " + path_ + ": " + strerror(errno);
        cut_back();
        return false;
    }
    written_ = rec.size();
    return true;
}

bool CommitJournal::sync(std::string &err, bool cut_on_failure) {
    if (written_ == 0) {
        err = "no journal record to make durable";
        return false;
    }
    const bool synced = fdatasync(fd_) == 0;
    if (!synced) {
        err = "cannot write the journal " + path_ + ": " + strerror(errno);
        if (cut_on_failure) {
            cut_back();
            return false;
        }
    }
    size_ += written_;
    written_ = 0;
    ++records_;
    return synced;
}

void CommitJournal::cut_back() {
    // What was written of the record is cut off so that the next one follows the last whole
    // record.
    written_ = 0;
    if (ftruncate(fd_, static_cast<off_t>(size_)) == 0)
        fdatasync(fd_);
}

bool write_file_durably(const std::string &path, std::string_view text, std::string &err) {
    const std::string tmp = path + ".tmp";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        err = "cannot write " + tmp + ": " + strerror(errno);
        return false;
    }
    if (!write_all(fd, reinterpret_cast<const uint8_t *>(text.data()), text.size())) {
        err = "cannot write " + tmp + ": " + strerror(errno);
        close(fd);
        unlink(tmp.c_str());
        return false;
    }
    if (fsync(fd) != 0 || close(fd) != 0) {
        err = "cannot flush " + tmp + ": " + strerror(errno);
        unlink(tmp.c_str());
        return false;
    }
    if (rename(tmp.c_str(), path.c_str()) != 0) {
        err = "cannot replace " + path + ": " + strerror(errno);
        unlink(tmp.c_str());
        return false;
    }
    sync_dir(path);
    return true;
}

}  // namespace cdbd
