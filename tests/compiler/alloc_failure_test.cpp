// Allocation failures thrown from the heap in the middle of building or compiling a rule table:
// nothing may leak, least of all program memory and its filter number. This binary replaces the
// global operator new so that one chosen allocation fails.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "tests/compiler/test_util.h"

// The replacements below pair malloc with free themselves.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {
long g_live = 0;      // heap blocks handed out and not yet freed
long g_fail_at = -1;  // fail the allocation with this countdown reaching 0; -1 never
}  // namespace

void *operator new(size_t n) {
    if (g_fail_at >= 0 && g_fail_at-- == 0)
        throw std::bad_alloc();
    void *p = std::malloc(n ? n : 1);
    if (!p)
        throw std::bad_alloc();
    ++g_live;
    return p;
}
void *operator new[](size_t n) {
    return operator new(n);
}
void *operator new(size_t n, const std::nothrow_t &) noexcept {
    try {
        return operator new(n);
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}
void *operator new[](size_t n, const std::nothrow_t &t) noexcept {
    return operator new(n, t);
}
void operator delete(void *p) noexcept {
    if (p) {
        --g_live;
        std::free(p);
    }
}
void operator delete[](void *p) noexcept {
    operator delete(p);
}
void operator delete(void *p, size_t) noexcept {
    operator delete(p);
}
void operator delete[](void *p, size_t) noexcept {
    operator delete(p);
}

namespace {

TEST(AllocFailure, RuleTableCreateFreesWhatItHadWhenTheActionRecordFails) {
    ActionData d{};
    for (long nth = 0; nth < 3; ++nth) {
        long before = g_live;
        g_fail_at = nth;
        plx_ruletable *t = plx_ruletable_create("name", "1", sizeof d, &d);
        g_fail_at = -1;
        if (t)
            plx_ruletable_destroy(t);
        EXPECT_EQ(g_live, before) << "allocation " << nth << " failed";
    }
}

struct Program {
    static inline int allocs = 0, frees = 0;
    static inline void *last = nullptr, *freed = nullptr;
    static void *alloc(uint32_t len) {
        ++allocs;
        g_fail_at = 0;  // the next heap allocation of the compile throws
        return last = std::aligned_alloc(8, (len + 7) / 8 * 8);
    }
    static void free(void *p) {
        ++frees;
        freed = p;
        std::free(p);
    }
    static uint32_t filter_id() { return 7; }
};

TEST(AllocFailure, ThrowAfterProgramMemoryReleasesTheProgramAndFilterNumber) {
    {
        Compile c;
        plx_compiler_set_mem_ops(c.ctx, Program::alloc, Program::free);
        plx_compiler_set_filter_id_fn(c.ctx, Program::filter_id);
        plx_rule *r = c.rule("10", make_action(PLX_ACT_ACCEPT));
        c.range(r, PLX_FIELD_PROTOCOL, 6, 6);
        EXPECT_EQ(c.compile(), PLX_COMPILE_NO_MEMORY);
        g_fail_at = -1;
        EXPECT_EQ(c.prog, nullptr);
        EXPECT_EQ(Program::allocs, 1);
        EXPECT_EQ(Program::frees, 1);
        EXPECT_EQ(Program::freed, Program::last);
        EXPECT_EQ(c.ctx->filter_id, 0xFFFFFFFFu);
    }
}

}  // namespace
