#include "compiler/plx_compiler.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include <sys/mman.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/plx_log.h"
#include "compiler/combine.h"
#include "compiler/plx_jobs.h"

namespace {

// The C heap, used until program memory installs its operations. Large programs go to
// 2 MiB-aligned memory backed by huge pages where the kernel allows, so that writing them is
// not dominated by page faults.
void *heap_alloc(uint32_t length) {
    constexpr size_t huge = size_t{2} << 20;
    if (length < 2 * huge)
        return std::malloc(length ? length : 1);
    void *p = nullptr;
    if (posix_memalign(&p, huge, length) != 0)
        return nullptr;
    madvise(p, length / huge * huge, MADV_HUGEPAGE);
    return p;
}
void heap_free(void *p) {
    std::free(p);
}

// The context whose compile runs on this thread: its hook is the one the steps of the compile
// call through plx_compiler_yield(). Worker threads have none.
thread_local const plx_compiler_ctx *t_compiling = nullptr;

// Makes ctx the compile running on this thread for the scope's duration.
class CompilingScope {
  public:
    explicit CompilingScope(const plx_compiler_ctx *ctx) : saved_(t_compiling) {
        t_compiling = ctx;
    }
    ~CompilingScope() { t_compiling = saved_; }
    CompilingScope(const CompilingScope &) = delete;
    CompilingScope &operator=(const CompilingScope &) = delete;

  private:
    const plx_compiler_ctx *saved_;
};

void free_with(const plx_compiler_ctx *ctx, void *program) {
    (ctx->mem_free ? ctx->mem_free : heap_free)(program);
}

// How many inner-loop steps pass between two calls of the yield hook.
constexpr uint32_t YIELD_EVERY = 1024;

uint64_t now_ns() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

const RuleCondition *condition_on(const plx_rule &rule, uint32_t table_id) {
    for (const RuleCondition &c : rule.conditions) {
        if (c.table_id == table_id)
            return &c;
    }
    return nullptr;
}

// Sets the result of the compile and why it failed; returns nullptr for the callers' convenience.
PolicyProgram *fail(plx_compiler_ctx *ctx, int result, std::string why) {
    ctx->result = result;
    ctx->error = std::move(why);
    return nullptr;
}

const char *field_name(uint32_t field_id) {
    return field_id >= 1 && field_id <= PLX_NUM_FIELDS ? plx_field_catalogue[field_id - 1].name
                                                       : "?";
}

std::string unreachable_range_warning(const plx_ruletable &rt, const plx_rule &rule,
                                      uint32_t field_id) {
    const bool addr = field_id == PLX_FIELD_SRC_ADDR || field_id == PLX_FIELD_DST_ADDR;
    return std::string("'") + rt.name + "' rule " + rule.name + ": " + field_name(field_id) +
           (addr ? " 255.255.255.255/32" : " 4294967295") +
           " lies beyond every lookup interval (they end at 0xFFFFFFFE); that range never matches";
}

// Refuses a rule table that tests more fields than a program can address.
bool check_field_count(plx_compiler_ctx *ctx, const plx_ruletable &rt) {
    std::string names;
    uint32_t n = 0;
    for (uint32_t f = 1; f <= PLX_NUM_FIELDS; ++f) {
        if (ctx->slots[f].table_id) {
            names += (n++ ? ", " : "") + std::string(field_name(f));
        }
    }
    if (n <= PLX_MAX_TESTED_FIELDS)
        return true;
    fail(ctx, PLX_COMPILE_TOO_MANY_FIELDS,
         std::string("'") + rt.name + "' tests " + std::to_string(n) + " fields (" + names +
             "); a program addresses at most " + std::to_string(PLX_MAX_TABLE_ID) +
             " tables, which is " + std::to_string(PLX_MAX_TESTED_FIELDS) +
             " fields, MATCH_ANY included");
    return false;
}

// Hands a program back to program memory unless released: a compile that throws half-way does
// not keep its blocks or its filter number.
struct ProgramGuard {
    plx_compiler_ctx *ctx;
    uint8_t *base;
    ~ProgramGuard() {
        if (base) {
            free_with(ctx, base);
            ctx->filter_id = 0xFFFFFFFF;
        }
    }
    uint8_t *release() { return std::exchange(base, nullptr); }
};

// Cuts the field's value space at its boundary points and classes every interval by the set of
// rules it satisfies. One sweep over the intervals keeps the current rule vector and its hash
// up to date from the range ends that start or stop at each interval.
void class_leaf(EcTable &t, const plx_ruletable &rt, std::vector<std::string> &warnings) {
    std::vector<uint32_t> b;
    for (auto i = t.boundaries.first(); i != Rbst<uint32_t>::NIL; i = t.boundaries.next(i))
        b.push_back(t.boundaries.node(i).key);
    t.intervals.clear();
    const uint32_t nint = static_cast<uint32_t>(b.size()) - 1;
    t.intervals.reserve(nint);
    for (uint32_t i = 0; i < nint; ++i)
        t.intervals.push_back({b[i], b[i + 1], 0});

    const uint32_t nrules = rt.num_rules;
    t.classes = ClassSet(nrules);
    const uint32_t nw = t.classes.nwords();
    std::vector<uint64_t> cur(nw, 0);
    std::vector<uint32_t> cnt(nrules, 0);

    // Range starts (+1) and ends (-1) by interval index, bucketed.
    struct Event {
        uint32_t rule;
        int32_t delta;
    };
    std::vector<std::pair<uint32_t, Event>> raw;
    auto index_of = [&](uint32_t v) {
        return static_cast<uint32_t>(std::lower_bound(b.begin(), b.end(), v) - b.begin());
    };
    for (uint32_t r = 0; r < nrules; ++r) {
        const RuleCondition *c = condition_on(*rt.rules[r], t.id);
        if (!c) {
            cnt[r] = 1;
            cur[r / 64] |= uint64_t{1} << (r % 64);
            continue;
        }
        for (const ValueRange &vr : c->ranges) {
            uint32_t si = index_of(vr.min);
            if (si >= nint) {
                // The range holds only 0xFFFFFFFF, which no interval covers.
                warnings.push_back(unreachable_range_warning(rt, *rt.rules[r], t.field_id));
                continue;
            }
            raw.push_back({si, {r, +1}});
            if (vr.max_val != 0xFFFFFFFF) {
                uint32_t ei = index_of(vr.max_val + 1);
                if (ei < nint)
                    raw.push_back({ei, {r, -1}});
            }
        }
    }
    std::vector<uint32_t> start(nint + 1, 0);
    for (const auto &e : raw)
        start[e.first + 1]++;
    for (uint32_t i = 0; i < nint; ++i)
        start[i + 1] += start[i];
    std::vector<Event> events(raw.size());
    {
        std::vector<uint32_t> fill(start.begin(), start.end() - 1);
        for (const auto &e : raw)
            events[fill[e.first]++] = e.second;
    }
    std::vector<std::pair<uint32_t, Event>>().swap(raw);

    uint64_t h = plx_vec_hash(cur.data(), nw);
    for (uint32_t i = 0; i < nint; ++i) {
        for (uint32_t k = start[i]; k < start[i + 1]; ++k) {
            const Event &e = events[k];
            cnt[e.rule] += e.delta;
            uint32_t w = e.rule / 64;
            uint64_t old = cur[w];
            uint64_t bit = uint64_t{1} << (e.rule % 64);
            uint64_t now = cnt[e.rule] ? old | bit : old & ~bit;
            if (now != old) {
                h += plx_word_hash(now, w) - plx_word_hash(old, w);
                cur[w] = now;
            }
        }
        t.intervals[i].ec_id = t.classes.find_or_add(cur.data(), h);
        if (i % YIELD_EVERY == YIELD_EVERY - 1)
            plx_compiler_yield();
    }
}

// Makes sure a table about to be combined holds its class vectors.
void prepare_input(EcTable &t) {
    if (t.combined && !t.classes.has_vectors())
        t.classes.materialize(t.left->classes, t.right->classes);
}

// A new table combining A and B: interval i = a * |B| + b will hold the class of A's class a
// AND B's class b.
EcTable *new_combination(plx_compiler_ctx *ctx, EcTable &A, EcTable &B) {
    auto tp = std::make_unique<EcTable>();
    EcTable &T = *tp;
    T.id = ++ctx->table_counter;
    T.reg = ++ctx->c_reg_allocated;
    T.combined = 1;
    T.left = &A;
    T.right = &B;
    A.parent = B.parent = &T;
    ctx->tables.push_back(std::move(tp));
    return &T;
}

// Fills a combination. Tables that will be combined again store their class vectors; the
// final table only remembers the pair each class came from (its vectors are needed only for
// their first rule), which keeps large final tables small.
void combine(uint32_t threads, EcTable &T, bool final_table) {
    EcTable &A = *T.left, &B = *T.right;
    const void *node1 = A.num_classes() ? &A : nullptr;
    PLX_ASSERT(node1 != NULL);
    prepare_input(A);
    prepare_input(B);
    plx_combine_classes(T, A, B, final_table, PlxCombineMethod::automatic, threads);
    // The inputs' vectors are read again only to find the final table's first rules.
    if (!final_table) {
        A.classes.drop_vectors();
        B.classes.drop_vectors();
    }
}

// Programs are written once and not read back by the compiler, and they are far larger than
// the caches: stores that bypass the cache (non-temporal) save reading every line of the
// destination before writing it. plx_compile_program_ec fences them before returning.
#if defined(__SSE2__)
// n bytes to dst, which is 4-byte aligned.
void stream_copy(uint8_t *dst, const uint8_t *src, size_t n) {
    auto put4 = [](uint8_t *d, const uint8_t *s) {
        int v;
        std::memcpy(&v, s, 4);
        _mm_stream_si32(reinterpret_cast<int *>(d), v);
    };
    while (n >= 4 && reinterpret_cast<uintptr_t>(dst) % 16) {
        put4(dst, src);
        dst += 4, src += 4, n -= 4;
    }
    for (; n >= 16; dst += 16, src += 16, n -= 16) {
        _mm_stream_si128(reinterpret_cast<__m128i *>(dst),
                         _mm_loadu_si128(reinterpret_cast<const __m128i *>(src)));
    }
    for (; n >= 4; dst += 4, src += 4, n -= 4)
        put4(dst, src);
    std::memcpy(dst, src, n);
}
// One lookup entry of five words to dst (4-byte aligned): the entries of a tree are written in
// order, so the write-combining buffers fill whole lines from these word stores.
inline void stream_entry(uint8_t *dst, uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t e) {
    int *p = reinterpret_cast<int *>(dst);
    _mm_stream_si32(p, static_cast<int>(a));
    _mm_stream_si32(p + 1, static_cast<int>(b));
    _mm_stream_si32(p + 2, static_cast<int>(c));
    _mm_stream_si32(p + 3, static_cast<int>(d));
    _mm_stream_si32(p + 4, static_cast<int>(e));
}
void stream_fence() {
    _mm_sfence();
}
#else
inline void stream_entry(uint8_t *dst, uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t e) {
    const uint32_t words[5] = {a, b, c, d, e};
    std::memcpy(dst, words, sizeof words);
}
void stream_copy(uint8_t *dst, const uint8_t *src, size_t n) {
    std::memcpy(dst, src, n);
}
void stream_fence() {}
#endif

// A table's intervals as a search tree of lookup entries, written front to back: every entry
// is written whole, links included, when its node is placed. A large tree is laid out in pieces
// (its top, then the subtrees below it), written two at a time and on any thread.
class LookupWriter {
  public:
    LookupWriter(const EcTable &t, uint8_t *out, uint64_t seed) : t_(t), out_(out), seed_(seed) {}

    // One entry by itself (a node of the top of the tree).
    void put(uint32_t item, uint32_t pos, uint32_t left, uint32_t right) const {
        const EcInterval iv = t_.interval(item);
        const uint32_t e[kWords] = {iv.lo, iv.hi, iv.ec_id, left * kWords, right * kWords};
        std::memcpy(out_ + size_t{pos} * sizeof(LookupEntry), e, sizeof e);
    }

    // The entries of subtree s, or of the subtrees s and s2 of w2 walked in step.
    void span(RbstSpan s) const {
        with_intervals([&](auto &&interval) {
            RbstWalk walk(seed_, s);
            walk.run(visitor(interval, s));
        });
    }
    void span_pair(RbstSpan s, const LookupWriter &w2, RbstSpan s2) const {
        with_intervals([&](auto &&interval) {
            w2.with_intervals([&](auto &&interval2) {
                RbstWalk a(seed_, s), b(w2.seed_, s2);
                RbstWalk::run_pair(a, visitor(interval, s), b, w2.visitor(interval2, s2));
            });
        });
    }

    uint64_t seed() const { return seed_; }
    uint32_t size() const { return t_.num_intervals(); }

  private:
    static constexpr uint32_t kWords = sizeof(LookupEntry) / 4;

    // f(interval): interval(i) is the table's interval i.
    template <typename F>
    void with_intervals(F &&f) const {
        if (t_.combined) {
            const uint32_t *ec = t_.combo_ec.data();
            f([ec](uint32_t i) { return EcInterval{i, i + 1, ec[i]}; });
        } else {
            const EcInterval *iv = t_.intervals.data();
            f([iv](uint32_t i) { return iv[i]; });
        }
    }

    // Writes each visited node's entry after the previous one, from subtree s's first position.
    template <typename Interval>
    auto visitor(Interval interval, RbstSpan s) const {
        return [interval, dst = out_ + size_t{s.position} * sizeof(LookupEntry)](
                   uint32_t item, uint32_t pos, uint32_t left, uint32_t right) mutable {
            const EcInterval iv = interval(item);
            stream_entry(dst, iv.lo, iv.hi, iv.ec_id, left * kWords, right * kWords);
            dst += sizeof(LookupEntry);
            if ((pos & (64 * YIELD_EVERY - 1)) == 0)
                plx_compiler_yield();
        };
    }

    const EcTable &t_;
    uint8_t *out_;
    uint64_t seed_;
};

// Writes the lookup trees of all tables. Each tree's shape comes from its own seed, drawn in
// table order before any tree is written, so the trees (and the pieces of a large one) can be
// written in any order without changing a byte.
void write_lookup_trees(uint32_t threads, const std::vector<LookupWriter> &trees) {
    struct Piece {
        const LookupWriter *tree;
        RbstSpan span;
    };
    std::vector<Piece> pieces;
    for (const LookupWriter &w : trees) {
        const uint32_t n = w.size();
        if (!n)
            continue;
        // Pieces of ten thousand entries or more: enough of them to pair up and keep every
        // thread busy to the end.
        const uint32_t cut = std::max<uint32_t>(n / (16 * threads), 1u << 14);
        for (RbstSpan s : rbst_shape_top(w.seed(), n, cut,
                                         [&w](uint32_t item, uint32_t pos, uint32_t l, uint32_t r) {
                                             w.put(item, pos, l, r);
                                         }))
            pieces.push_back({&w, s});
    }
    // Largest first, and each piece paired with the next largest, so that a pair's walks run
    // in step for most of their length.
    std::stable_sort(pieces.begin(), pieces.end(), [](const Piece &x, const Piece &y) {
        return x.span.hi - x.span.lo > y.span.hi - y.span.lo;
    });
    plx_run_jobs(threads, (pieces.size() + 1) / 2, [&pieces](size_t j) {
        const Piece &x = pieces[2 * j];
        if (2 * j + 1 < pieces.size())
            x.tree->span_pair(x.span, *pieces[2 * j + 1].tree, pieces[2 * j + 1].span);
        else
            x.tree->span(x.span);
    });
}

void post_order(EcTable *t, std::vector<EcTable *> &out) {
    if (t->combined) {
        post_order(t->left, out);
        post_order(t->right, out);
    }
    out.push_back(t);
}

}  // namespace

void plx_compiler_set_mem_ops(plx_compiler_ctx *ctx, plx_mem_alloc_fn alloc,
                              plx_mem_free_fn free_fn) {
    ctx->mem_alloc = alloc;
    ctx->mem_free = alloc ? free_fn : nullptr;
}

void plx_compiler_set_filter_id_fn(plx_compiler_ctx *ctx, plx_mem_filter_id_fn fn) {
    ctx->filter_id_fn = fn;
}

void plx_compiler_free_program(const plx_compiler_ctx *ctx, void *program) {
    if (program)
        free_with(ctx, program);
}

void plx_compiler_set_yield(plx_compiler_ctx *ctx, plx_yield_fn fn, void *arg) {
    ctx->yield = fn;
    ctx->yield_arg = fn ? arg : nullptr;
}

void plx_compiler_yield(const plx_compiler_ctx *ctx) {
    if (ctx && ctx->yield)
        ctx->yield(ctx->yield_arg);
}

void plx_compiler_yield() {
    if (!plx_on_compile_worker())
        plx_compiler_yield(t_compiling);
}

plx_compiler_ctx *plx_compiler_create() {
    auto *ctx = new (std::nothrow) plx_compiler_ctx;
    if (!ctx)
        return nullptr;
    for (const PlxFieldInfo &f : plx_field_catalogue) {
        ctx->slots[f.id].field_id = f.id;
        ctx->slots[f.id].max_value = f.max_value;
    }
    return ctx;
}

void plx_compiler_reset(plx_compiler_ctx *ctx) {
    ctx->tables.clear();
    ctx->table_counter = 0;
    ctx->c_reg_allocated = 0;
    ctx->final_table = nullptr;
    ctx->filter_id = 0xFFFFFFFF;
    ctx->action_offset = 0;
    std::memset(ctx->table_base, 0, sizeof ctx->table_base);
    ctx->n_dir_entries = 0;
    ctx->n_instructions = 0;
    ctx->error.clear();
    ctx->warnings.clear();
    ctx->result = PLX_COMPILE_OK;
    for (FieldSlot &s : ctx->slots)
        s.table_id = 0;
}

void plx_compiler_destroy(plx_compiler_ctx *ctx) {
    if (!ctx)
        return;
    plx_compiler_reset(ctx);
    delete ctx;
}

void plx_compiler_class_leaves(plx_compiler_ctx *ctx, const plx_ruletable *table) {
    CompilingScope scope(ctx);
    std::vector<EcTable *> leaves;
    for (auto &t : ctx->tables) {
        if (!t->combined)
            leaves.push_back(t.get());
    }
    // Each leaf keeps its own warnings; they are reported in table order.
    std::vector<std::vector<std::string>> warnings(leaves.size());
    plx_run_jobs(ctx->threads, leaves.size(),
                 [&](size_t i) { class_leaf(*leaves[i], *table, warnings[i]); });
    for (auto &w : warnings)
        ctx->warnings.insert(ctx->warnings.end(), w.begin(), w.end());
}

bool plx_compiler_reduce(plx_compiler_ctx *ctx) {
    CompilingScope scope(ctx);
    std::vector<EcTable *> work;
    for (auto &t : ctx->tables)
        work.push_back(t.get());
    while (work.size() >= 2) {
        for (size_t i = 0; i + 1 < work.size(); i += 2) {
            const EcTable &a = *work[i], &b = *work[i + 1];
            uint64_t cells = uint64_t{a.num_classes()} * b.num_classes();
            if (cells > 0xFFFFFFFFull) {
                fail(ctx, PLX_COMPILE_TOO_MANY_CLASSES,
                     "combining tables " + std::to_string(a.id) + " and " + std::to_string(b.id) +
                         " gives " + std::to_string(cells) +
                         " intervals, more than a 32-bit index can address");
                return false;
            }
        }
        // The combinations of one round are independent: tables are numbered in order first,
        // then combined.
        std::vector<EcTable *> next;
        for (size_t i = 0; i + 1 < work.size(); i += 2)
            next.push_back(new_combination(ctx, *work[i], *work[i + 1]));
        const bool final_round = work.size() == 2;
        // A combination alone in its round may spread its own pairs over the threads.
        const uint32_t inner = next.size() == 1 ? ctx->threads : 1;
        plx_run_jobs(ctx->threads, next.size(),
                     [&](size_t i) { combine(inner, *next[i], final_round); });
        if (work.size() % 2)
            next.push_back(work.back());
        std::sort(next.begin(), next.end(), [](EcTable *x, EcTable *y) { return x->id < y->id; });
        work.swap(next);
    }
    ctx->final_table = work.empty() ? nullptr : work[0];
    return true;
}

uint64_t plx_compiler_program_length(const plx_compiler_ctx *ctx, const plx_ruletable *table) {
    std::vector<EcTable *> order;
    post_order(ctx->final_table, order);
    uint64_t lookup = 0, instr = 1;
    for (EcTable *t : order) {
        lookup += 4 + 20 * uint64_t{t->num_intervals()};
        instr += t->combined ? 3 : 1;
    }
    uint64_t ndir = order.size() + 1;
    const char *name = table->name;
    uint64_t len = PLX_PROGRAM_HEADER_SIZE;
    PLX_TRACE(PLX_DEBUG_POLICY, "Policy: %s  Program size: %u [Header]", name, (unsigned)len);
    len += lookup;
    PLX_TRACE(PLX_DEBUG_POLICY, "Policy: %s  Program size: %u [Context]", name, (unsigned)len);
    len += 24 * ndir;
    PLX_TRACE(PLX_DEBUG_POLICY, "Policy: %s  Program size: %u [Table directory entry]", name,
              (unsigned)len);
    len += 4 * instr;
    PLX_TRACE(PLX_DEBUG_POLICY, "Policy: %s  Program size: %u [Instruction]", name, (unsigned)len);
    const plx_rule *rule = table->rules.empty() ? nullptr : table->rules[0].get();
    PLX_ASSERT(rule != NULL);
    len += 8 + uint64_t{ctx->final_table->num_classes()} * rule->action.size();
    PLX_TRACE(PLX_DEBUG_POLICY, "Policy: %s  Program size: %u [Action]", name, (unsigned)len);
    PLX_TRACE(PLX_DEBUG_POLICY, "Policy: %s  Program size: %u [Final]", name, (unsigned)len);
    return len;
}

PolicyProgram *plx_compile_program_ec(plx_compiler_ctx *ctx, const plx_ruletable *table,
                                      uint32_t *out_len) {
    CompilingScope scope(ctx);
    PLX_ASSERT(ctx->c_reg_allocated <= (PLX_MAX_REGISTERS - 1));
    std::vector<EcTable *> order;
    post_order(ctx->final_table, order);

    uint64_t len64 = plx_compiler_program_length(ctx, table);
    if (len64 > 0xFFFFFFFFull) {
        *out_len = 0xFFFFFFFF;
        return fail(ctx, PLX_COMPILE_TOO_LARGE,
                    "program of " + std::to_string(len64) + " bytes exceeds 4 GiB");
    }
    const uint32_t len = static_cast<uint32_t>(len64);
    *out_len = len;
    for (EcTable *t : order) {
        if (t->combined && t->right->num_classes() > 0xFFFF) {
            return fail(ctx, PLX_COMPILE_TOO_MANY_CLASSES,
                        "table " + std::to_string(t->right->id) + " has " +
                            std::to_string(t->right->num_classes()) +
                            " classes, more than the 16-bit multiplier can hold");
        }
    }

    auto *base = static_cast<uint8_t *>((ctx->mem_alloc ? ctx->mem_alloc : heap_alloc)(len));
    ctx->filter_id = ctx->filter_id_fn ? ctx->filter_id_fn() : 0xFFFFFFFF;
    if (!base) {
        return fail(ctx, PLX_COMPILE_NO_MEMORY,
                    "no room in filter memory for " + std::to_string(len) + " bytes (" +
                        std::to_string((uint64_t{len} + 127) / 128) + " blocks of 128)");
    }
    ProgramGuard guard{ctx, base};
    ctx->n_dir_entries = static_cast<uint32_t>(order.size()) + 1;
    ctx->n_instructions = 1;
    for (EcTable *t : order)
        ctx->n_instructions += t->combined ? 3 : 1;
    uint32_t dir = PLX_PROGRAM_HEADER_SIZE;
    uint32_t ins = dir + 24 * ctx->n_dir_entries;
    uint32_t data = ins + 4 * ctx->n_instructions;

    // Every byte of the program is written: the header, directory and instructions are cleared
    // first, the tables and action records are written whole, and the pad and slack words are
    // cleared where they fall.
    std::memset(base, 0, data);
    auto *hdr = reinterpret_cast<PolicyProgram *>(base);
    auto put = [base](uint32_t off, uint32_t v) { std::memcpy(base + off, &v, 4); };
    hdr->length = len;
    hdr->n_dir_entries = ctx->n_dir_entries;
    hdr->n_instructions = ctx->n_instructions;
    std::memcpy(hdr->name, table->name, sizeof hdr->name);

    std::vector<LookupWriter> trees;
    trees.reserve(order.size());
    for (EcTable *t : order) {
        const uint32_t nint = t->num_intervals();
        ProgramDirEntry de{data, nint, sizeof(LookupEntry), {}};
        std::memcpy(base + dir, &de, sizeof de);
        dir += sizeof de;

        put(data, PLX_TABLE_LOOKUP | t->id << 8);
        data += 4;
        ctx->table_base[t->id] = data / 4;
        trees.emplace_back(*t, base + data, rbst_shape_seed());
        data += nint * static_cast<uint32_t>(sizeof(LookupEntry));

        if (!t->combined) {
            put(ins, plx_insn(PLX_OP_LOOKUP, PLX_MODE_LEAF, t->id, t->reg, t->id));
            ins += 4;
        } else {
            const EcTable &L = *t->left, &R = *t->right;
            put(ins, plx_insn_imm(PLX_OP_MUL, PLX_MODE_REG, L.reg, L.reg, R.num_classes()));
            put(ins + 4, plx_insn(PLX_OP_ADD, PLX_MODE_REG, L.reg, R.reg, 0));
            put(ins + 8, plx_insn(PLX_OP_LOOKUP, PLX_MODE_REG, R.reg, t->reg, t->id));
            ins += 12;
        }
    }
    put(ins, plx_insn(PLX_OP_FINAL, PLX_MODE_REG, ctx->c_reg_allocated, 15, 0));
    write_lookup_trees(ctx->threads, trees);

    // Action table: one record per class of the final table, the first rule of the class's
    // rule set deciding.
    const plx_rule *rule = table->rules.empty() ? nullptr : table->rules[0].get();
    PLX_ASSERT(rule != NULL);
    const EcTable &fin = *ctx->final_table;
    const uint32_t reclen = static_cast<uint32_t>(table->default_action.size());
    ProgramDirEntry de{data, fin.num_classes(), reclen, {}};
    std::memcpy(base + dir, &de, sizeof de);
    put(data, PLX_TABLE_ACTION);
    data += 4;
    if (data % 8) {
        put(data, 0);
        data += 4;
    }
    ctx->action_offset = data / 4;
    // Records in runs of a few thousand classes, run by run.
    constexpr uint32_t kRun = YIELD_EVERY;
    const uint32_t nclasses = fin.num_classes();
    plx_run_jobs(ctx->threads, (size_t{nclasses} + kRun - 1) / kRun, [&](size_t run) {
        const uint32_t ec1 = static_cast<uint32_t>(std::min<size_t>(nclasses, (run + 1) * kRun));
        for (uint32_t ec = static_cast<uint32_t>(run * kRun); ec < ec1; ++ec) {
            std::optional<uint32_t> r = fin.first_rule(ec);
            const std::vector<uint8_t> *rec = &table->default_action;
            if (r) {
                rec = &table->rules[*r]->action;
                bool action = !rec->empty();
                PLX_ASSERT(action);
            }
            PLX_ASSERT(rec->size() == reclen);
            stream_copy(base + data + size_t{ec} * reclen, rec->data(), reclen);
        }
    });

    const size_t end = data + size_t{fin.num_classes()} * reclen;
    std::memset(base + end, 0, len - end);

    // Field map: which field each leaf table reads.
    uint32_t n = 0;
    for (uint32_t f = 0; f <= PLX_NUM_FIELDS; ++f) {
        uint32_t tid = ctx->slots[f].table_id;
        if (!tid)
            continue;
        hdr->field_map[n] = FieldMapPair{static_cast<uint8_t>(f), static_cast<uint8_t>(tid)};
        ++n;
        hdr->table_field[tid] = f;
    }
    hdr->field_map_count = n;
    std::memcpy(hdr->table_base, ctx->table_base, sizeof hdr->table_base);
    hdr->action_offset = ctx->action_offset;
    stream_fence();
    guard.release();
    return hdr;
}

const char *plx_compile_result_name(int result) {
    switch (result) {
        case PLX_COMPILE_OK:
            return "ok";
        case PLX_COMPILE_NO_MEMORY:
            return "out of memory";
        case PLX_COMPILE_TOO_MANY_FIELDS:
            return "too many fields";
        case PLX_COMPILE_TOO_MANY_CLASSES:
            return "too many classes";
        case PLX_COMPILE_TOO_LARGE:
            return "program too large";
    }
    return "unknown";
}

const char *plx_compiler_error(const plx_compiler_ctx *ctx) {
    return ctx->error.c_str();
}

const std::vector<std::string> &plx_compiler_warnings(const plx_compiler_ctx *ctx) {
    return ctx->warnings;
}

int plx_compile(plx_compiler_ctx *ctx, plx_ruletable *table, PolicyProgram **prog, uint32_t *len) {
    ctx->error.clear();
    ctx->warnings.clear();
    ctx->result = PLX_COMPILE_OK;
    if (ctx->tables.empty())
        return PLX_COMPILE_OK;
    PolicyProgram *out = nullptr;
    try {
        if (check_field_count(ctx, *table)) {
            uint64_t t0 = now_ns();
            plx_compiler_class_leaves(ctx, table);
            uint64_t t1 = now_ns();
            bool ok = plx_compiler_reduce(ctx);
            uint64_t t2 = now_ns();
            out = ok ? plx_compile_program_ec(ctx, table, len) : nullptr;
            uint64_t t3 = now_ns();
            ctx->times = {t1 - t0, t2 - t1, t3 - t2};
        }
    } catch (const std::bad_alloc &) {
        fail(ctx, PLX_COMPILE_NO_MEMORY, "out of memory while compiling");
        out = nullptr;
    }
    for (const std::string &w : ctx->warnings)
        PLX_LOG("Policy %s: warning: %s", table->name, w.c_str());
    *prog = out;
    if (!out) {
        if (ctx->result == PLX_COMPILE_OK)  // a step refused without saying why
            fail(ctx, PLX_COMPILE_NO_MEMORY, "out of memory while compiling");
        PLX_LOG("Policy %s: no program (%s): %s", table->name, plx_compile_result_name(ctx->result),
                ctx->error.c_str());
    }
    return ctx->result;
}
