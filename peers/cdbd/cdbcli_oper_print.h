// Printers of operational data as it is read. The reader reports every container and list
// entry it enters (an entry with the values of its provider's reply) and the end of each; a
// printer turns that into text at once and keeps nothing of entries it has printed.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "peers/cdbd/cdbcli_oper.h"

namespace cdbcli {

// The enclosing list entries of what is being read, outer first: list name, keys as text.
using OperCtx = std::vector<std::pair<std::string, std::string>>;

class OperSink {
  public:
    virtual ~OperSink() = default;
    // Enters a container; printed only if something inside it is.
    virtual void container(const confd_cs_node *c) = 0;
    // Enters an entry of list, with its leaves (and the containers of the reply).
    virtual void entry(const confd_cs_node *list, const std::vector<confd_tag_value_t> &values,
                       const OperCtx &ctx) = 0;
    // Leaves the innermost container or entry.
    virtual void end() = 0;
    // After a walk that succeeded.
    virtual void finish() = 0;
};

std::unique_ptr<OperSink> make_xml_sink(const OperOut &out);
std::unique_ptr<OperSink> make_json_sink(const OperOut &out);
// The table of one list, from the entries of that list only. printed tells whether a table was
// printed before (a blank line separates tables) and is set once this one prints.
std::unique_ptr<OperSink> make_table_sink(const confd_cs_node *list, const OperOut &out,
                                          bool &printed);

// The schema name of a node, or its tag in decimal.
std::string node_name(const confd_cs_node *n);
// A value as text in the type of its leaf.
std::string value_text(const confd_cs_node *leaf, const confd_value_t &v);

}  // namespace cdbcli
