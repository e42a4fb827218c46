// Compile time per phase, program bytes and final classes, and evaluation ns/packet, for the
// ClassBench sets and policy-sized sets; with PLX_BENCH_RTE_ACL, DPDK rte_acl's build time and
// scalar classify ns/packet on the same rules (priority order) and traces, in the same run.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tools/plxc/plxc_input.h"

#ifdef PLX_BENCH_RTE_ACL
#include <arpa/inet.h>
#include <rte_acl.h>
#include <rte_eal.h>
#endif

namespace {

struct Set {
    std::string name;
    PlxcRules rules;
    std::vector<FpPacket> packets;
    // A set timed by one build: each side builds it once untimed first, so that neither pays
    // for faulting in the memory it then keeps (rte_acl's comes from EAL memory reserved at
    // start).
    bool warm_up = false;
};

std::string data_dir() {
    const char *d = std::getenv("PLX_BENCH_DATA");
    return d ? d : PLX_BENCH_DATA;
}

std::string slurp(const std::string &path, size_t max_lines = SIZE_MAX) {
    std::ifstream f(path);
    std::string line, out;
    for (size_t n = 0; n < max_lines && std::getline(f, line); ++n)
        out += line + "\n";
    return out;
}

bool load(Set &s, const std::string &file, size_t max_rules, const std::string &trace) {
    std::string err = plxc_parse_rules(file, slurp(data_dir() + "/" + file, max_rules), s.rules);
    if (!err.empty()) {
        std::fprintf(stderr, "%s\n", err.c_str());
        return false;
    }
    std::ifstream t(data_dir() + "/" + trace);
    std::string line;
    while (std::getline(t, line)) {
        FpPacket p;
        if (plxc_parse_packet(line, p).empty())
            s.packets.push_back(p);
    }
    return true;
}

// Program memory stand-in: the daemon writes programs into filter memory that is mapped once
// at start, so the benchmark gives the compiler a pre-faulted region as well (one program at a
// time, like a compile followed by its free).
struct FilterMemory {
    size_t size = size_t{1} << 30;
    uint8_t *base = nullptr;
    FilterMemory() {
        void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED)
            return;
        madvise(p, size, MADV_HUGEPAGE);
        std::memset(p, 0, size);
        base = static_cast<uint8_t *>(p);
    }
};
FilterMemory *filter_memory;
void *fm_alloc(uint32_t len) {
    return len <= filter_memory->size ? filter_memory->base : nullptr;
}
void fm_free(void *) {}

// Threads a compile may use: PLX_BENCH_THREADS (default 2, the machine's cores; the daemon
// compiles on one, the compile_1thread/ rows).
uint32_t compile_threads() {
    const char *t = std::getenv("PLX_BENCH_THREADS");
    return t ? static_cast<uint32_t>(std::max(1, std::atoi(t))) : 2;
}

struct Compiled {
    plx_compiler_ctx *ctx = plx_compiler_create();
    PlxRuleTablePtr table;
    PolicyProgram *prog = nullptr;
    uint32_t len = 0;
    ~Compiled() {
        plx_compiler_free_program(ctx, prog);
        plx_compiler_destroy(ctx);
    }
};

// A compile into the filter-memory stand-in (when there is one) or onto the heap.
std::unique_ptr<Compiled> compile(const Set &s, uint32_t threads, bool filter_mem) {
    auto c = std::make_unique<Compiled>();
    c->ctx->threads = threads;
    if (filter_mem && filter_memory->base)
        plx_compiler_set_mem_ops(c->ctx, fm_alloc, fm_free);
    plxc_build(s.rules, true, c->ctx, c->table);
    plx_compile(c->ctx, c->table.get(), &c->prog, &c->len);
    return c;
}

// One compile per set shared by the lookup benchmarks (the large sets take minutes).
std::shared_ptr<Compiled> compiled(const Set &s) {
    static std::map<const Set *, std::shared_ptr<Compiled>> cache;
    auto &c = cache[&s];
    if (!c) {
        // Kept programs live on the heap: the filter-memory stand-in holds one program at a time.
        c = compile(s, compile_threads(), false);
    }
    return c;
}

// Compile with `threads` threads. Time is wall-clock; the CPU column counts every thread.
void bm_compile(benchmark::State &st, const Set *s, uint32_t threads) {
    PlxCompileTimes sum;
    uint64_t bytes = 0, classes = 0;
    if (s->warm_up)
        compile(*s, threads, true);
    for (auto _ : st) {
        auto c = compile(*s, threads, true);
        sum.leaf_ns += c->ctx->times.leaf_ns;
        sum.reduce_ns += c->ctx->times.reduce_ns;
        sum.emit_ns += c->ctx->times.emit_ns;
        bytes = c->len;
        classes = c->ctx->final_table ? c->ctx->final_table->num_classes() : 0;
        if (!c->prog)
            st.SetLabel("no program: " + c->ctx->error);
    }
    double n = static_cast<double>(st.iterations());
    st.counters["rules"] = static_cast<double>(s->rules.rules.size());
    st.counters["prog_bytes"] = static_cast<double>(bytes);
    st.counters["final_classes"] = static_cast<double>(classes);
    st.counters["leaf_ms"] = sum.leaf_ns / n / 1e6;
    st.counters["combine_ms"] = sum.reduce_ns / n / 1e6;
    st.counters["emit_ms"] = sum.emit_ns / n / 1e6;
}

void bm_eval(benchmark::State &st, const Set *s) {
    auto c = compiled(*s);
    if (!c->prog) {
        st.SkipWithError(("no program: " + c->ctx->error).c_str());
        return;
    }
    size_t i = 0;
    for (auto _ : st) {
        FpEvalResult r = fp_eval(c->prog, s->packets[i]);
        benchmark::DoNotOptimize(r);
        if (++i == s->packets.size())
            i = 0;
    }
    st.SetItemsProcessed(st.iterations());
}

#ifdef PLX_BENCH_RTE_ACL
// The classic IPv4 5-tuple layout: protocol, source, destination, then both ports in one word.
struct AclInput {
    uint8_t proto;
    uint8_t pad[3];
    uint32_t src, dst;
    uint16_t sport, dport;
};
RTE_ACL_RULE_DEF(AclRule, 5);

rte_acl_field_def acl_fields[5] = {
    {RTE_ACL_FIELD_TYPE_BITMASK, sizeof(uint8_t), 0, 0, offsetof(AclInput, proto)},
    {RTE_ACL_FIELD_TYPE_MASK, sizeof(uint32_t), 1, 1, offsetof(AclInput, src)},
    {RTE_ACL_FIELD_TYPE_MASK, sizeof(uint32_t), 2, 2, offsetof(AclInput, dst)},
    {RTE_ACL_FIELD_TYPE_RANGE, sizeof(uint16_t), 3, 3, offsetof(AclInput, sport)},
    {RTE_ACL_FIELD_TYPE_RANGE, sizeof(uint16_t), 4, 3, offsetof(AclInput, dport)},
};

std::vector<AclRule> acl_rules(const Set &s) {
    std::vector<AclRule> out;
    const uint32_t n = static_cast<uint32_t>(s.rules.rules.size());
    for (uint32_t i = 0; i < n; ++i) {
        AclRule r{};
        r.data.category_mask = 1;
        r.data.priority = static_cast<int32_t>(n - i);  // earlier rules win
        r.data.userdata = i + 1;
        for (const PlxcCond &c : s.rules.rules[i].conds) {
            const PlxcValue &v = c.values[0];
            switch (c.field) {
                case PLX_FIELD_PROTOCOL:
                    r.field[0].value.u8 = static_cast<uint8_t>(v.lo);
                    r.field[0].mask_range.u8 = 0xFF;
                    break;
                case PLX_FIELD_SRC_ADDR:
                case PLX_FIELD_DST_ADDR: {
                    int k = c.field == PLX_FIELD_SRC_ADDR ? 1 : 2;
                    uint32_t a =
                        uint32_t{v.addr[0]} << 24 | v.addr[1] << 16 | v.addr[2] << 8 | v.addr[3];
                    r.field[k].value.u32 =
                        v.len ? a & ~((v.len == 32 ? 0 : (1u << (32 - v.len)) - 1)) : 0;
                    r.field[k].mask_range.u32 = v.len;
                    break;
                }
                case PLX_FIELD_SRC_PORT:
                case PLX_FIELD_DST_PORT: {
                    int k = c.field == PLX_FIELD_SRC_PORT ? 3 : 4;
                    r.field[k].value.u16 = static_cast<uint16_t>(v.lo);
                    r.field[k].mask_range.u16 = static_cast<uint16_t>(v.hi);
                    break;
                }
                default:
                    break;
            }
        }
        out.push_back(r);
    }
    return out;
}

rte_acl_ctx *acl_build(const Set &s, const std::vector<AclRule> &rules, int seq) {
    std::string name = "plx" + std::to_string(seq);
    rte_acl_param p{};
    p.name = name.c_str();
    p.socket_id = SOCKET_ID_ANY;
    p.rule_size = RTE_ACL_RULE_SZ(5);
    p.max_rule_num = static_cast<uint32_t>(rules.size());
    rte_acl_ctx *ctx = rte_acl_create(&p);
    if (!ctx)
        return nullptr;
    if (rte_acl_add_rules(ctx, reinterpret_cast<const rte_acl_rule *>(rules.data()),
                          static_cast<uint32_t>(rules.size())) != 0) {
        rte_acl_free(ctx);
        return nullptr;
    }
    rte_acl_config cfg{};
    cfg.num_categories = 1;
    cfg.num_fields = 5;
    std::memcpy(cfg.defs, acl_fields, sizeof acl_fields);
    if (rte_acl_build(ctx, &cfg) != 0) {
        rte_acl_free(ctx);
        return nullptr;
    }
    (void)s;
    return ctx;
}

void bm_acl_build(benchmark::State &st, const Set *s) {
    auto rules = acl_rules(*s);
    static int seq = 0;
    if (s->warm_up) {
        if (rte_acl_ctx *ctx = acl_build(*s, rules, seq++))
            rte_acl_free(ctx);
    }
    for (auto _ : st) {
        rte_acl_ctx *ctx = acl_build(*s, rules, seq++);
        if (!ctx) {
            st.SkipWithError("rte_acl build failed");
            return;
        }
        st.PauseTiming();
        rte_acl_free(ctx);
        st.ResumeTiming();
    }
    st.counters["rules"] = static_cast<double>(rules.size());
}

void bm_acl_classify(benchmark::State &st, const Set *s) {
    static int seq = 100000;
    auto rules = acl_rules(*s);
    rte_acl_ctx *ctx = acl_build(*s, rules, seq++);
    if (!ctx) {
        st.SkipWithError("rte_acl build failed");
        return;
    }
    std::vector<AclInput> in(s->packets.size());
    std::vector<const uint8_t *> ptr(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        const FpPacket &p = s->packets[i];
        in[i].proto = static_cast<uint8_t>(p.field[PLX_FIELD_PROTOCOL]);
        in[i].src = htonl(p.field[PLX_FIELD_SRC_ADDR]);
        in[i].dst = htonl(p.field[PLX_FIELD_DST_ADDR]);
        in[i].sport = htons(static_cast<uint16_t>(p.field[PLX_FIELD_SRC_PORT]));
        in[i].dport = htons(static_cast<uint16_t>(p.field[PLX_FIELD_DST_PORT]));
        ptr[i] = reinterpret_cast<const uint8_t *>(&in[i]);
    }
    // Cross-check: rte_acl's match and our evaluator's record name the same rule.
    {
        auto c = compiled(*s);
        std::vector<uint32_t> res(in.size());
        rte_acl_classify_alg(ctx, ptr.data(), res.data(), static_cast<uint32_t>(in.size()), 1,
                             RTE_ACL_CLASSIFY_SCALAR);
        uint64_t agree = 0;
        for (size_t i = 0; c->prog && i < in.size(); ++i) {
            FpEvalResult r = fp_eval(c->prog, s->packets[i]);
            uint32_t ours = 0;
            if (r.status == FP_EVAL_OK && !(r.record->flags & PLX_ACTION_FLAG_DEFAULT)) {
                const auto *cs = plx_action_slot<CountSlot>(
                    reinterpret_cast<const uint8_t *>(r.record) + sizeof(ActionRecord), 1);
                ours = static_cast<uint32_t>(std::atoi(cs->name + 1));  // "r<line>"
            }
            agree += ours == res[i];
        }
        st.counters["agree_pct"] = c->prog ? 100.0 * agree / in.size() : -1;
    }
    size_t i = 0;
    uint32_t result;
    for (auto _ : st) {
        rte_acl_classify_alg(ctx, &ptr[i], &result, 1, 1, RTE_ACL_CLASSIFY_SCALAR);
        benchmark::DoNotOptimize(result);
        if (++i == ptr.size())
            i = 0;
    }
    st.SetItemsProcessed(st.iterations());
    rte_acl_free(ctx);
}
#endif

}  // namespace

int main(int argc, char **argv) {
#ifdef PLX_BENCH_RTE_ACL
    char a0[] = "plx_bench_acl", a1[] = "--no-huge", a2[] = "--no-pci", a3[] = "-m", a4[] = "4096",
         a5[] = "--no-shconf", a6[] = "--log-level=error", a7[] = "-l", a8[] = "0";
    char *eal[] = {a0, a1, a2, a3, a4, a5, a6, a7, a8};
    cpu_set_t cpus;
    const bool have_cpus = sched_getaffinity(0, sizeof cpus, &cpus) == 0;
    if (rte_eal_init(9, eal) < 0) {
        std::fprintf(stderr, "rte_eal_init failed\n");
        return 1;
    }
    // EAL pins the calling thread to lcore 0, and threads started later inherit that: give the
    // compile's worker threads every core back (rte_acl's build runs on one thread anywhere).
    if (have_cpus)
        sched_setaffinity(0, sizeof cpus, &cpus);
#endif
    benchmark::Initialize(&argc, argv);
    // Keep freed memory in the process between iterations, as a long-running daemon does.
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    filter_memory = new FilterMemory;
    // Sets: name, filter file, number of filters taken, trace file. PLX_BENCH_LARGE=1 adds the
    // 10k sets (they take minutes and gigabytes).
    struct Spec {
        const char *name, *file;
        size_t max;
        const char *trace;
        bool large, warm_up;
    };
    const Spec specs[] = {
        {"policy10", "acl1_1k", 10, "acl1_1k_trace", false, false},
        {"policy100", "acl1_1k", 100, "acl1_1k_trace", false, false},
        {"acl1_1k", "acl1_1k", SIZE_MAX, "acl1_1k_trace", false, false},
        {"fw1_1k", "fw1_1k", SIZE_MAX, "fw1_1k_trace", false, false},
        {"ipc1_1k", "ipc1_1k", SIZE_MAX, "ipc1_1k_trace", false, false},
        // fw1_10k and ipc1_10k fail after tens of seconds: not built twice.
        {"acl1_10k", "acl1_10k", SIZE_MAX, "acl1_10k_trace", true, true},
        {"fw1_10k", "fw1_10k", SIZE_MAX, "fw1_10k_trace", true, false},
        {"ipc1_10k", "ipc1_10k", SIZE_MAX, "ipc1_10k_trace", true, false},
    };
    const bool large = std::getenv("PLX_BENCH_LARGE") != nullptr;
    // The 10k sets can ask for more memory than the machine has: cap the address space so that
    // such a compile fails with "out of memory" instead of bringing the machine down.
    rlimit cap{12ull << 30, 12ull << 30};
    setrlimit(RLIMIT_AS, &cap);
    static std::vector<std::unique_ptr<Set>> sets;
    for (const Spec &sp : specs) {
        if (sp.large && !large)
            continue;
        auto s = std::make_unique<Set>();
        s->name = sp.name;
        s->warm_up = sp.warm_up;
        if (!load(*s, sp.file, sp.max, sp.trace))
            return 1;
        sets.push_back(std::move(s));
    }
    for (const auto &s : sets) {
        bool big = s->rules.rules.size() > 5000;
        const uint32_t threads = compile_threads();
        auto *b = benchmark::RegisterBenchmark(("compile/" + s->name).c_str(), bm_compile, s.get(),
                                               threads)
                      ->Unit(benchmark::kMillisecond)
                      ->UseRealTime()
                      ->MeasureProcessCPUTime();
        if (big)
            b->Iterations(1);
        if (threads > 1) {
            // The same compile on one thread, for its CPU time and as the daemon's default.
            auto *one = benchmark::RegisterBenchmark(("compile_1thread/" + s->name).c_str(),
                                                     bm_compile, s.get(), 1u)
                            ->Unit(benchmark::kMillisecond)
                            ->UseRealTime()
                            ->MeasureProcessCPUTime();
            if (big)
                one->Iterations(1);
        }
#ifdef PLX_BENCH_RTE_ACL
        auto *a = benchmark::RegisterBenchmark(("rte_acl_build/" + s->name).c_str(), bm_acl_build,
                                               s.get())
                      ->Unit(benchmark::kMillisecond);
        if (big)
            a->Iterations(1);
        a->UseRealTime()->MeasureProcessCPUTime();
#endif
        benchmark::RegisterBenchmark(("eval/" + s->name).c_str(), bm_eval, s.get());
#ifdef PLX_BENCH_RTE_ACL
        benchmark::RegisterBenchmark(("rte_acl_classify/" + s->name).c_str(), bm_acl_classify,
                                     s.get());
#endif
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
