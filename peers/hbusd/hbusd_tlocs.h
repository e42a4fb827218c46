// hbusd's table of the overlay's TLOCs and the line format in which operators and scripts give
// them (the TLOC file read at start, and the hbusctl commands):
//
//   <originator> <color> <encap> [index=N] [preference=N] [weight=N] [status=up|down|N]
//                                [local=yes|no]
//
// originator: dotted IPv4 address; color: a colour name ("mpls", "biz-internet", ...) or a number
// 0-255; encap: "gre", "ipsec" or a number 0-255. Numbers are decimal, 0 to 4294967295 (status
// 0-255). In a file, '#' starts a comment and blank lines are skipped. An attribute left out
// keeps its value for a TLOC already known; a new TLOC starts with index 0, preference 0,
// weight 1, status up and local no.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

struct HbusTlocKey {
    uint32_t originator = 0;  // IPv4 address, host order
    uint8_t color = 0;
    uint8_t encap = 0;
    auto operator<=>(const HbusTlocKey &) const = default;
};

struct HbusTloc {
    HbusTlocKey key;
    uint32_t index = 0;
    uint32_t preference = 0;
    uint32_t weight = 1;
    uint8_t status = 1;  // 1 up, 0 down
    bool local = false;
    bool operator==(const HbusTloc &) const = default;
};

using HbusTlocTable = std::map<HbusTlocKey, HbusTloc>;

// Splits a line into words at blanks; a '#' and what follows it are dropped.
std::vector<std::string> hbus_split_words(std::string_view line);

// The key of words[0..2]. Empty error text on success.
std::string hbus_parse_key(const std::vector<std::string> &words, HbusTlocKey *key);

// A whole TLOC from words (key, then attributes), starting from the TLOC the table holds for
// that key, or the defaults. Empty error text on success.
std::string hbus_parse_tloc(const std::vector<std::string> &words, const HbusTlocTable &table,
                            HbusTloc *out);

// The TLOC as one line of the format above (every attribute written).
std::string hbus_format_tloc(const HbusTloc &t);

// Reads a TLOC file into the table; a line that repeats a key updates it. On an error nothing
// is added and the text names the file and line.
std::string hbus_load_tloc_file(const std::string &path, HbusTlocTable *table);
