// Texts of the HTTP northbound: escaping and percent-coding, path keys, the action input, the
// error answer, and the printing of operational lists from a resource down.
#pragma once

#include <libyang/libyang.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "peers/cdbd/cdbcli_oper_print.h"
#include "peers/cdbd/path_text.h"

namespace cdbd::restconf {

using cdbd::xml_escape;
std::string pct_decode(std::string_view s);
std::string pct_encode(std::string_view s);
std::vector<std::string_view> split(std::string_view s, char sep);
// A value as an XPath predicate literal, and as a key of the command line's path text; false
// when the value cannot be written so (both quote characters; a double quote).
bool xpath_literal(const std::string &v, std::string &out);
bool cli_key(const std::string &v, std::string &out);
// Flat members of the action input object {"mod:input": {"name": "x", ...}} (strings,
// numbers, booleans); an empty body is no input. False when the body is not such an object.
bool parse_input(std::string_view s, std::vector<std::pair<std::string, std::string>> &out);
// The api path of a data node ("/mod:a/b=k1,k2"), for Location.
std::string api_path(const lyd_node *n);

// Passes on what the walk reports from the resource (focus) down, so that the printer prints
// the resource at the top, as RESTCONF answers it.
class FocusSink : public cdbcli::OperSink {
  public:
    FocusSink(cdbcli::OperSink &inner, const confd_cs_node *focus) : inner_(inner), focus_(focus) {}
    void container(const confd_cs_node *c) override {
        if (enter(c))
            inner_.container(c);
    }
    void entry(const confd_cs_node *list, const std::vector<confd_tag_value_t> &values,
               const cdbcli::OperCtx &ctx) override {
        if (enter(list)) {
            shown_ = true;
            inner_.entry(list, values, ctx);
        }
    }
    void end() override {
        if (open_.empty())
            return;
        if (open_.back())
            inner_.end();
        open_.pop_back();
    }
    void finish() override { inner_.finish(); }
    bool shown() const { return shown_; }

  private:
    bool enter(const confd_cs_node *n) {
        const bool pass = (!open_.empty() && open_.back()) || n == focus_;
        open_.push_back(pass);
        return pass;
    }
    cdbcli::OperSink &inner_;
    const confd_cs_node *focus_;
    std::vector<bool> open_;
    bool shown_ = false;
};

}  // namespace cdbd::restconf
