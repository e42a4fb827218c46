// Input files of the offline compiler: rule files (the text format or ClassBench filter sets)
// and packet files (FIELD=VALUE lines or ClassBench trace lines).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "compiler/plx_compiler.h"
#include "peers/fpeval/fp_eval.h"

// One alternative of a condition as written: a range, or an address prefix.
struct PlxcValue {
    uint32_t lo = 0, hi = 0;
    bool prefix = false;
    uint8_t addr[4] = {};
    uint32_t len = 32;
};
struct PlxcCond {
    uint32_t field;
    std::vector<PlxcValue> values;
};
struct PlxcRule {
    std::string name;
    unsigned line;
    std::vector<PlxcCond> conds;
    ActionData action;
};
struct PlxcRules {
    std::string path;  // for messages
    std::string name;  // the program name: the file's base name
    ActionData default_action;
    std::vector<PlxcRule> rules;
    bool classbench = false;
};

// Reads a rule file. On a problem returns "file:line: what is wrong" (or "file: ...").
std::string plxc_read_rules(const std::string &path, PlxcRules &out);
// Same, from text already read (path used in messages only).
std::string plxc_parse_rules(const std::string &path, const std::string &text, PlxcRules &out);

// Builds the rule table and the fields' conditions in the compile context, adding MATCH_ANY
// first to every rule when match_any is set. Returns "" or why the rules cannot be compiled.
std::string plxc_build(const PlxcRules &rules, bool match_any, plx_compiler_ctx *ctx,
                       PlxRuleTablePtr &table);

// Parses one packet line (FIELD=VALUE ... or a ClassBench trace line). "" or what is wrong.
std::string plxc_parse_packet(const std::string &line, FpPacket &pkt);
