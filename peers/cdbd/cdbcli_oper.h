// The command line's reads of operational lists served by daemons (data providers), and their
// printing as tables, XML or JSON.
//
// A list is read the way the database reads it: get-next-object with next -1 for the first
// entry, then find-next-object (CONFD_FIND_NEXT) with the keys of the entry just read, or
// get-next-object with the handle the provider returned, until the provider ends the list.
// Every entry's nested lists are read with the entry's keys in the key path.
//
// Output streams: each entry is printed as it arrives and forgotten, so a list of any length
// is shown in constant memory (tables hold their first rows only, to size their columns).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/confd/confd_client.h"
#include "platform/confd/confd_dp.h"

namespace cdbcli {

// One reply of a data provider (values owned).
struct DpResult {
    confd_wire::DpReply kind = confd_wire::DpReply::NotFound;
    std::vector<confd_tag_value_t> values;  // Object, NextObject
    std::vector<confd_value_t> keys;        // NextKey
    bool end = false;                       // NextKey that ends the list
    int64_t next = -1;
    DpResult() = default;
    DpResult(const DpResult &) = delete;
    DpResult &operator=(const DpResult &) = delete;
    ~DpResult() { clear(); }
    void clear();
};

// The three object requests, relayed by the server to the daemon serving the list's callpoint.
// fd is a connected command-line socket; the result is CONFD_OK, CONFD_ERR (confd_lasterr)
// or CONFD_EOF.
int dp_get_object(int fd, const confd_hkeypath_t &kp, DpResult &out);
int dp_get_next_object(int fd, const confd_hkeypath_t &kp, long next, DpResult &out);
int dp_find_next_object(int fd, const confd_hkeypath_t &kp, enum confd_find_next_type type,
                        const confd_value_t *keys, int nkeys, DpResult &out);

// Does the path (schema only) name operational data served by callpoints?
bool is_provided(const std::string &path);

enum class OperFormat { Text, Xml, Json };

// Receives the printed text piece by piece, as entries arrive.
using OperOut = std::function<void(std::string_view)>;

// Shows every list with a callpoint at and below path ("/policy-oper",
// "/policy-oper/access-list/access-list-counters{acl1}"). Text is one table per list: the keys
// of the enclosing entries, then the entry's leaves; each table is one walk of the lists above
// it, in schema order. XML and JSON come from a single walk. Needs the schema
// (confd_load_schemas). False with a message on any failure; what was printed until then stays
// printed.
bool oper_show(int fd, const std::string &path, OperFormat format, const OperOut &out,
               std::string &err);

// One walk of every list at and below path, each entry reported to sink as it is read (see
// cdbcli_oper_print.h); other readers of the same data (metrics) plug in here.
class OperSink;
bool oper_walk(int fd, const std::string &path, OperSink &sink, std::string &err);

}  // namespace cdbcli
