// plxc: the offline policy compiler. Compiles a rule file into the exact program bytes the
// daemon would place in filter memory, dumps it, and evaluates programs over packet files.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tools/plxc/plxc_input.h"
#include "tools/tool_util/tool_cli.h"

namespace {

const ToolUsage kUsage{
    "plxc",
    "usage: plxc compile RULES [-o PROGRAM] [--dump] [--stats] [--no-match-any] [--threads N]\n"
    "       plxc eval PROGRAM PACKETS [--summary]\n"
    "\n"
    "compile  Compiles RULES into a match program.\n"
    "  -o PROGRAM      write the program bytes (byte 0 of the file is byte 0 of the program,\n"
    "                  laid out as if placed at an 8-byte-aligned address)\n"
    "  --dump          print the program dump (tables, action records and their slots)\n"
    "  --stats         print rules, tables with interval and class counts, program bytes and\n"
    "                  the time of each phase\n"
    "  --no-match-any  do not give every rule the MATCH_ANY condition first\n"
    "  --threads N     compile on N threads (default 1; the program is the same)\n"
    "\n"
    "  RULES is a ClassBench filter file (lines starting with '@'; each filter is a rule with\n"
    "  actions 'accept' and 'count r<line>') or this text format:\n"
    "    # comment\n"
    "    default reject|accept\n"
    "    rule NAME [FIELD=VALUES ...] [-> ACTION ...]\n"
    "  FIELD: protocol src-port dst-port src-addr dst-addr dscp fc tcp pkt-len app app-family\n"
    "         match-any traffic-class next-header plp dns-app dns-app-family dns\n"
    "  VALUES: comma-separated numbers, ranges lo-hi, or for addresses a.b.c.d/len; at most\n"
    "          the field's largest value (dscp and traffic-class 63, tcp 2, plp 1, dns 2)\n"
    "  ACTION: accept | reject | count NAME | set-dscp N | set-fc N | set-traffic-class N | log\n"
    "\n"
    "eval     Evaluates PROGRAM for each packet of PACKETS, as the forwarding plane does.\n"
    "  Packet lines are 'FIELD=VALUE ...' (absent fields 0, match-any 1) or ClassBench trace\n"
    "  lines 'src dst sport dport proto ...'. Prints per packet the action record selected and\n"
    "  the names of its count slots.\n"
    "  --summary       print the hits per action record instead\n"
    "\n"
    "Warnings (a range the program cannot represent) go to standard error.\n"
    "Exit status: 0 success, 1 compile or file failure, 2 bad command line or input.\n"};

double ms(uint64_t ns) {
    return static_cast<double>(ns) / 1e6;
}

uint64_t now_ns() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

int cmd_compile(int argc, char **argv) {
    std::string rules_path, out_path;
    bool dump = false, stats = false, match_any = true;
    uint32_t threads = 1;
    for (int i = 0; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--threads") {
            char *end = nullptr;
            unsigned long n = ++i < argc ? std::strtoul(argv[i], &end, 10) : 0;
            if (!end || *end || n < 1 || n > 64)
                return kUsage.bad("--threads needs a number from 1 to 64");
            threads = static_cast<uint32_t>(n);
        } else if (a == "-o") {
            if (++i >= argc)
                return kUsage.bad("-o needs a file name");
            out_path = argv[i];
        } else if (a == "--dump") {
            dump = true;
        } else if (a == "--stats") {
            stats = true;
        } else if (a == "--no-match-any") {
            match_any = false;
        } else if (!a.empty() && a[0] == '-') {
            return kUsage.bad("unknown option " + a);
        } else if (rules_path.empty()) {
            rules_path = a;
        } else {
            return kUsage.bad("more than one RULES file");
        }
    }
    if (rules_path.empty())
        return kUsage.bad("compile needs a RULES file");

    uint64_t t0 = now_ns();
    PlxcRules rules;
    std::string err = plxc_read_rules(rules_path, rules);
    if (!err.empty()) {
        std::fprintf(stderr, "%s\n", err.c_str());
        return errno && err.find("cannot open") != std::string::npos ? 1 : 2;
    }
    plx_compiler_ctx *ctx = plx_compiler_create();
    if (!ctx) {
        std::fprintf(stderr, "plxc: out of memory\n");
        return 1;
    }
    ctx->threads = threads;
    PlxRuleTablePtr table;
    err = plxc_build(rules, match_any, ctx, table);
    uint64_t t1 = now_ns();
    if (!err.empty()) {
        std::fprintf(stderr, "%s\n", err.c_str());
        plx_compiler_destroy(ctx);
        return 2;
    }
    PolicyProgram *prog = nullptr;
    uint32_t len = 0;
    int rc = plx_compile(ctx, table.get(), &prog, &len);
    int status = 0;
    for (const std::string &w : plx_compiler_warnings(ctx))
        std::fprintf(stderr, "%s: warning: %s\n", rules_path.c_str(), w.c_str());
    if (rc != PLX_COMPILE_OK) {
        std::fprintf(stderr, "%s: no program (%s): %s", rules_path.c_str(),
                     plx_compile_result_name(rc), plx_compiler_error(ctx));
        if (rc == PLX_COMPILE_NO_MEMORY)
            std::fprintf(stderr, " (%u bytes asked for)", len);
        std::fputc('\n', stderr);
        status = 1;
    } else if (!prog) {
        std::fprintf(stderr, "%s: no rule tests a field: no program is needed%s\n",
                     rules_path.c_str(), out_path.empty() ? "" : "; nothing written");
    }
    if (stats) {
        std::printf("rules: %u\n", plx_ruletable_num_rules(table.get()));
        for (const auto &t : ctx->tables) {
            if (t->combined)
                std::printf("table %u: combines %u x %u: %u intervals, %u classes\n", t->id,
                            t->left->id, t->right->id, t->num_intervals(), t->num_classes());
            else
                std::printf("table %u: field %s: %u intervals, %u classes\n", t->id,
                            plx_field_catalogue[t->field_id - 1].name, t->num_intervals(),
                            t->num_classes());
        }
        if (ctx->final_table)
            std::printf("final classes: %u\n", ctx->final_table->num_classes());
        std::printf("program bytes: %u\n", len);
        std::printf(
            "time: parse %.3f ms, leaf classing %.3f ms, combination %.3f ms, "
            "emission %.3f ms\n",
            ms(t1 - t0), ms(ctx->times.leaf_ns), ms(ctx->times.reduce_ns), ms(ctx->times.emit_ns));
    }
    if (prog) {
        if (dump)
            plx_program_dump(prog, PlxPrinter{}, true);
        if (!out_path.empty()) {
            FILE *f = std::fopen(out_path.c_str(), "wb");
            if (!f || std::fwrite(prog, 1, prog->length, f) != prog->length) {
                std::fprintf(stderr, "%s: cannot write: %s\n", out_path.c_str(),
                             std::strerror(errno));
                status = 1;
            }
            if (f && std::fclose(f) != 0)
                status = 1;
        }
    }
    plx_compiler_free_program(ctx, prog);
    plx_compiler_destroy(ctx);
    return status;
}

// Names of the count slots of an action record.
std::string count_names(const ActionRecord *rec) {
    std::string names;
    if (rec->length < sizeof(ActionEntry))
        return names;
    const auto *data = reinterpret_cast<const uint8_t *>(rec) + sizeof(ActionRecord);
    for (unsigned i = 0; i < PLX_ACTION_SLOTS; ++i) {
        const auto *s = plx_action_slot<CountSlot>(data, i);
        if (s->action_type == PLX_ACT_COUNT) {
            names += ' ';
            names.append(s->name, strnlen(s->name, PLX_ACTION_NAME_LEN));
        }
    }
    return names;
}

int cmd_eval(int argc, char **argv) {
    std::vector<std::string> files;
    bool summary = false;
    for (int i = 0; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--summary")
            summary = true;
        else if (!a.empty() && a[0] == '-')
            return kUsage.bad("unknown option " + a);
        else
            files.push_back(a);
    }
    if (files.size() != 2)
        return kUsage.bad("eval needs PROGRAM and PACKETS");

    std::ifstream pf(files[0], std::ios::binary);
    if (!pf) {
        std::fprintf(stderr, "%s: cannot open: %s\n", files[0].c_str(), std::strerror(errno));
        return 1;
    }
    std::string raw((std::istreambuf_iterator<char>(pf)), std::istreambuf_iterator<char>());
    std::vector<uint64_t> buf((raw.size() + 7) / 8);  // 8-byte aligned copy
    std::memcpy(buf.data(), raw.data(), raw.size());
    std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t *>(buf.data()), raw.size());
    if (const char *why = fp_validate(bytes)) {
        std::fprintf(stderr, "%s: not a valid program: %s\n", files[0].c_str(), why);
        return 2;
    }
    const auto *prog = reinterpret_cast<const PolicyProgram *>(buf.data());

    std::ifstream in(files[1]);
    if (!in) {
        std::fprintf(stderr, "%s: cannot open: %s\n", files[1].c_str(), std::strerror(errno));
        return 1;
    }
    std::map<int64_t, uint64_t> hits;
    std::string line;
    unsigned lineno = 0;
    uint64_t packets = 0;
    while (std::getline(in, line)) {
        ++lineno;
        if (tool_strip_comment(line))
            continue;
        FpPacket pkt;
        std::string err = plxc_parse_packet(line, pkt);
        if (!err.empty()) {
            std::fprintf(stderr, "%s:%u: %s\n", files[1].c_str(), lineno, err.c_str());
            return 2;
        }
        FpEvalResult res = fp_eval(prog, pkt);
        ++packets;
        hits[res.status == FP_EVAL_OK ? res.index : -1]++;
        if (summary)
            continue;
        if (res.status != FP_EVAL_OK) {
            std::printf("%u: miss\n", lineno);
            continue;
        }
        std::printf("%u: record %lld%s%s\n", lineno, static_cast<long long>(res.index),
                    res.record->flags & PLX_ACTION_FLAG_DEFAULT ? " default" : "",
                    count_names(res.record).c_str());
    }
    if (summary) {
        std::printf("packets: %llu\n", static_cast<unsigned long long>(packets));
        for (const auto &[idx, n] : hits) {
            if (idx < 0)
                std::printf("miss: %llu\n", static_cast<unsigned long long>(n));
            else
                std::printf("record %lld: %llu\n", static_cast<long long>(idx),
                            static_cast<unsigned long long>(n));
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2)
        return kUsage.bad("missing command");
    std::string cmd = argv[1];
    if (cmd == "--help" || cmd == "-h" || cmd == "help") {
        std::fputs(kUsage.text, stdout);
        return 0;
    }
    if (cmd == "compile")
        return cmd_compile(argc - 2, argv + 2);
    if (cmd == "eval")
        return cmd_eval(argc - 2, argv + 2);
    return kUsage.bad("unknown command " + cmd);
}
