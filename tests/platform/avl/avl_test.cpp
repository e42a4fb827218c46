#include "platform/avl/plx_avl.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace {

int g_live = 0;

struct item {
    explicit item(std::string n, int s = 0) : name(std::move(n)), seq(s) { ++g_live; }
    ~item() { --g_live; }
    plx::avl_link by_name;
    plx::avl_link by_seq;
    plx::list_link in_list;
    std::string name;
    int seq;
};

// Shorter names first, then bytewise: the order of the daemon's name-keyed dbs.
struct name_order {
    using key_type = std::string_view;
    static key_type key(const item &i) { return i.name; }
    static int compare(key_type a, key_type b) {
        if (a.size() != b.size())
            return a.size() < b.size() ? -1 : 1;
        return plx::avl_cmp(a, b);
    }
};
struct seq_order {
    using key_type = int;
    static key_type key(const item &i) { return i.seq; }
    static int compare(int a, int b) { return plx::avl_cmp(a, b); }
};

using name_tree = plx::avl_tree<item, &item::by_name, name_order>;
using seq_index = plx::avl_tree<item, &item::by_seq, seq_order, false>;
using item_list = plx::dl_list<item, &item::in_list>;

std::vector<std::string> names(name_tree &t) {
    std::vector<std::string> out;
    for (item &i : t)
        out.push_back(i.name);
    return out;
}

TEST(AvlTree, OrdersByItsComparisonAndNavigates) {
    {
        name_tree t;
        for (const char *n : {"bb", "a", "ccc", "ab", "b"})
            t.insert(std::make_unique<item>(n));
        EXPECT_EQ(names(t), (std::vector<std::string>{"a", "b", "ab", "bb", "ccc"}));
        EXPECT_EQ(t.count(), 5u);
        EXPECT_EQ(t.first()->name, "a");
        EXPECT_EQ(t.last()->name, "ccc");
        item *ab = t.find("ab");
        ASSERT_NE(ab, nullptr);
        EXPECT_EQ(t.next(*ab)->name, "bb");
        EXPECT_EQ(t.prev(*ab)->name, "b");
        EXPECT_EQ(t.prev(*t.first()), nullptr);
        EXPECT_EQ(t.next(*t.last()), nullptr);
        EXPECT_EQ(t.find("zz"), nullptr);
        // The next greater key, whether or not the key itself is present.
        EXPECT_EQ(t.find_next("ab")->name, "bb");
        EXPECT_EQ(t.find_next("aa")->name, "ab");
        EXPECT_EQ(t.find_next("zzz"), nullptr);
        EXPECT_EQ(t.lower_bound("ab")->name, "ab");
    }
    EXPECT_EQ(g_live, 0);  // the owning tree freed its records
}

TEST(AvlTree, FindWithCookieThenInsertAndRemove) {
    name_tree t;
    name_tree::where_type where;
    EXPECT_EQ(t.find("x", where), nullptr);
    item *x = t.insert(std::make_unique<item>("x"), where);
    EXPECT_EQ(t.find("x", where), x);
    EXPECT_FALSE(where.valid);

    std::unique_ptr<item> back = t.remove(*x);
    EXPECT_TRUE(t.empty());
    EXPECT_EQ(back->name, "x");
    t.insert(std::move(back));
    t.erase(*t.find("x"));
    EXPECT_EQ(g_live, 0);
}

TEST(AvlTree, WalkMayRemoveAndSecondIndexSharesRecords) {
    name_tree owner;
    seq_index by_seq;
    for (int s : {30, 10, 20, 40}) {
        // Appended rather than "n" + std::to_string(s): GCC 12 at -O3 warns falsely (-Wrestrict).
        item *p =
            owner.insert(std::make_unique<item>(std::string(1, 'n').append(std::to_string(s)), s));
        by_seq.insert(*p);
    }
    std::vector<int> seqs;
    for (item &i : by_seq)
        seqs.push_back(i.seq);
    EXPECT_EQ(seqs, (std::vector<int>{10, 20, 30, 40}));

    // Removing during a walk, from both indexes.
    by_seq.walk([&](item &i) {
        if (i.seq % 20 == 0) {
            by_seq.remove(i);
            owner.erase(i);
        }
    });
    EXPECT_EQ(owner.count(), 2u);
    EXPECT_EQ(by_seq.count(), 2u);
    by_seq.destroy_all();  // unlinks only
    EXPECT_EQ(g_live, 2);
    int disposed = 0;
    owner.destroy_all([&](std::unique_ptr<item>) { ++disposed; });
    EXPECT_EQ(disposed, 2);
    EXPECT_EQ(g_live, 0);
}

TEST(DlList, KeepsOrderAndCount) {
    item_list l;
    item *b = l.push_back(std::make_unique<item>("b"));
    l.push_front(std::make_unique<item>("a"));
    l.insert_before(nullptr, std::make_unique<item>("d"));
    l.insert_before(l.next(*b), std::make_unique<item>("c"));
    std::string order;
    for (item &i : l)
        order += i.name;
    EXPECT_EQ(order, "abcd");
    EXPECT_EQ(l.count(), 4u);
    EXPECT_EQ(l.prev(*b)->name, "a");
    l.walk([&](item &i) {
        if (i.name != "c")
            l.erase(i);
    });
    EXPECT_EQ(l.count(), 1u);
    EXPECT_EQ(l.first(), l.last());
    l.destroy_all();
    EXPECT_EQ(g_live, 0);
}

}  // namespace
