// Randomized binary search tree (Martinez and Roura): an ordered set with a caller-supplied
// comparison, parent links and subtree sizes. Every insertion puts the new node at the root of
// a subtree of n nodes with probability 1/(n+1), so the tree has the shape of a random binary
// search tree whatever the insertion order (boundary points arrive in ascending order).
//
// Nodes live in one pool and link by index. Walks and clearing use an explicit work stack.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "common/plx_log.h"

// Builds a random binary search tree over n sorted items [0, n) with the distribution of the
// tree below (each item equally likely the root, subtrees independent) and visits its nodes in
// walk order: node, right subtree, left subtree. Used where the keys are known in advance and
// only the shape is needed.
//
// visit(item, position, left, right): position counts the visited nodes from 0; left and right
// are the positions of the node's children, 0 for none (only the root has position 0). Both are
// known when the node is visited: the right subtree of a node m over items [lo, hi) at position
// p fills positions p+1 .. p+(hi-m-1) and the left subtree starts at p+(hi-m), so a tree can be
// written front to back in one pass, every entry whole.
//
// The node at position p takes its root from the p-th output of a counter-based generator
// (a fixed function of the seed and p), so every subtree can be laid out on its own once its
// items and first position are known: rbst_shape_top visits the top of a tree and hands back
// the subtrees below it, which rbst_shape_span lays out in any order or concurrently.

// A subtree still to be laid out: items [lo, hi), never empty, from `position` on.
struct RbstSpan {
    uint32_t lo, hi, position;
};

// The seed of one tree's shape, drawn from random().
inline uint64_t rbst_shape_seed() {
    return (static_cast<uint64_t>(::random()) << 31) ^ static_cast<uint64_t>(::random());
}

// The root of the subtree over [0, bound) placed at `position` under `seed`.
inline uint32_t rbst_shape_draw(uint64_t seed, uint32_t position, uint32_t bound) {
    uint64_t z = seed + (uint64_t{position} + 1) * 0x9e3779b97f4a7c15ULL;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    z ^= z >> 31;
    return static_cast<uint32_t>(((z >> 32) * bound) >> 32);
}

// The walk of one subtree: its pending subtrees (items [lo, hi), never empty, packed as
// lo | hi << 32), the next position and the generator's state before that position's draw.
class RbstWalk {
  public:
    RbstWalk(uint64_t seed, RbstSpan span)
        : stack_(64),
          position_(span.position),
          state_(seed + uint64_t{span.position} * 0x9e3779b97f4a7c15ULL) {
        stack_[0] = span.lo | uint64_t{span.hi} << 32;
        sp_ = stack_.data() + 1;
    }

    // Visits the nodes left, in walk order.
    template <typename Visit>
    void run(Visit &&visit) {
        uint64_t *sp = sp_, *bottom = stack_.data(), *limit = bottom + stack_.size() - 2;
        uint32_t position = position_;
        uint64_t state = state_;
        while (sp != bottom) {
            if (sp > limit) [[unlikely]]
                grow(sp, bottom, limit);
            step(sp, position, state, visit);
        }
        sp_ = sp, position_ = position, state_ = state;
    }

    // Two walks in step, one node of each per round, so that the chain of dependent steps of
    // one (pop, draw, push) overlaps the other's; then whichever is left, alone.
    template <typename VisitA, typename VisitB>
    static void run_pair(RbstWalk &a, VisitA &&visit_a, RbstWalk &b, VisitB &&visit_b) {
        uint64_t *spa = a.sp_, *bota = a.stack_.data(), *lima = bota + a.stack_.size() - 2;
        uint64_t *spb = b.sp_, *botb = b.stack_.data(), *limb = botb + b.stack_.size() - 2;
        uint32_t pa = a.position_, pb = b.position_;
        uint64_t sa = a.state_, sb = b.state_;
        while (spa != bota && spb != botb) {
            if (spa > lima || spb > limb) [[unlikely]] {
                a.grow(spa, bota, lima);
                b.grow(spb, botb, limb);
            }
            step(spa, pa, sa, visit_a);
            step(spb, pb, sb, visit_b);
        }
        a.sp_ = spa, a.position_ = pa, a.state_ = sa;
        b.sp_ = spb, b.position_ = pb, b.state_ = sb;
        a.run(visit_a);
        b.run(visit_b);
    }

  private:
    void grow(uint64_t *&sp, uint64_t *&bottom, uint64_t *&limit) {
        if (sp <= limit)
            return;
        const size_t depth = static_cast<size_t>(sp - bottom);
        stack_.resize(stack_.size() * 2);
        bottom = stack_.data();
        sp = bottom + depth;
        limit = bottom + stack_.size() - 2;
    }

    // Pops a subtree, draws its root and pushes its children. Children are pushed without
    // branching (a slot is written, the top moves only when the child exists): whether a node
    // has children is a coin toss the branch predictor loses.
    template <typename Visit>
    __attribute__((always_inline)) static void step(uint64_t *&sp, uint32_t &position,
                                                    uint64_t &state, Visit &visit) {
        const uint64_t s = *--sp;
        const uint32_t lo = static_cast<uint32_t>(s), hi = static_cast<uint32_t>(s >> 32);
        state += 0x9e3779b97f4a7c15ULL;
        uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        z ^= z >> 31;
        const uint32_t m = lo + static_cast<uint32_t>(((z >> 32) * (hi - lo)) >> 32);
        const uint32_t has_right = m + 1 < hi;
        const uint32_t has_left = lo < m;
        // Masks, not conditionals, so that the compiler does not branch on them either.
        visit(m, position, (position + (hi - m)) & (0u - has_left),
              (position + 1) & (0u - has_right));
        *sp = lo | uint64_t{m} << 32;  // popped after the whole right subtree
        sp += has_left;
        *sp = (m + 1) | (s & ~uint64_t{0xFFFFFFFF});
        sp += has_right;
        ++position;
    }

    std::vector<uint64_t> stack_;
    uint64_t *sp_;
    uint32_t position_;
    uint64_t state_;
};

// Lays out the subtree `span` of the tree shaped by `seed`, visiting its nodes in walk order.
template <typename Visit>
void rbst_shape_span(uint64_t seed, RbstSpan span, Visit &&visit) {
    RbstWalk(seed, span).run(visit);
}

// Visits the nodes of the tree over [0, n) whose subtrees hold more than `cut` items (each
// with visit, as rbst_shape_span would) and returns the subtrees left below them, in walk
// order. Together they cover every position once.
template <typename Visit>
std::vector<RbstSpan> rbst_shape_top(uint64_t seed, uint32_t n, uint32_t cut, Visit &&visit) {
    std::vector<RbstSpan> out, stack;
    if (n)
        stack.push_back({0, n, 0});
    while (!stack.empty()) {
        const RbstSpan s = stack.back();
        stack.pop_back();
        if (s.hi - s.lo <= cut) {
            out.push_back(s);
            continue;
        }
        const uint32_t m = s.lo + rbst_shape_draw(seed, s.position, s.hi - s.lo);
        const uint32_t p = s.position;
        visit(m, p, s.lo < m ? p + (s.hi - m) : 0, m + 1 < s.hi ? p + 1 : 0);
        if (s.lo < m)
            stack.push_back({s.lo, m, p + (s.hi - m)});
        if (m + 1 < s.hi)
            stack.push_back({m + 1, s.hi, p + 1});
    }
    return out;
}

template <typename Visit>
void rbst_random_shape(uint32_t n, Visit &&visit) {
    const uint64_t seed = rbst_shape_seed();
    if (n)
        rbst_shape_span(seed, {0, n, 0}, visit);
}

template <typename Key, typename Value = uintptr_t>
class Rbst {
  public:
    using Index = uint32_t;
    static constexpr Index NIL = UINT32_MAX;
    using Compare = std::function<int(const Key &, const Key &)>;

    struct Node {
        Key key;
        Value value;
        uintptr_t position = 0;  // where the node's entry was written, while emitting
        uint32_t size = 1;
        Index parent = NIL, left = NIL, right = NIL;
    };

    Rbst() { init(); }

    // Clears the tree and installs the default comparison (unsigned order of the key).
    void init() {
        nodes_.clear();
        root_ = NIL;
        cmp_ = [](const Key &a, const Key &b) { return a < b ? -1 : (b < a ? 1 : 0); };
    }
    void set_compare(Compare cmp) { cmp_ = std::move(cmp); }

    Index root() const { return root_; }
    const Node &node(Index i) const { return nodes_[i]; }
    Node &node(Index i) { return nodes_[i]; }
    bool is_empty() const { return root_ == NIL; }

    Index find(const Key &k) const {
        Index x = root_;
        while (x != NIL) {
            int c = cmp_(k, nodes_[x].key);
            if (c == 0)
                return x;
            x = c < 0 ? nodes_[x].left : nodes_[x].right;
        }
        return NIL;
    }

    // 1 inserted, 0 refused (an equal key is present; nothing changes).
    int insert(const Key &k, Value v = Value{}) {
        if (find(k) != NIL)
            return 0;
        Index n = static_cast<Index>(nodes_.size());
        nodes_.push_back(Node{k, v});
        Index x = root_, last = NIL;
        bool went_left = false;
        while (x != NIL) {
            Node &xn = nodes_[x];
            xn.size += 1;
            if (static_cast<uint32_t>(::random()) % xn.size == 0) {
                insert_at_root(x, n);
                return 1;
            }
            last = x;
            went_left = cmp_(k, xn.key) < 0;
            x = went_left ? xn.left : xn.right;
        }
        attach(last, went_left, n);
        return 1;
    }

    Index first() const {
        Index x = root_;
        if (x == NIL)
            return NIL;
        while (nodes_[x].left != NIL)
            x = nodes_[x].left;
        return x;
    }

    // In-order successor; next(NIL) is first().
    Index next(Index x) const {
        if (x == NIL)
            return first();
        if (nodes_[x].right != NIL) {
            x = nodes_[x].right;
            while (nodes_[x].left != NIL)
                x = nodes_[x].left;
            return x;
        }
        Index p = nodes_[x].parent;
        while (p != NIL && nodes_[p].right == x) {
            x = p;
            p = nodes_[p].parent;
        }
        return p;
    }

    // a = next(after), b = next(a); second member tells whether b exists.
    std::pair<std::pair<Index, Index>, bool> next_pair(Index after) const {
        Index a = next(after);
        Index b = a == NIL ? NIL : next(a);
        return {{a, b}, b != NIL};
    }

    // Node, then right subtree, then left subtree (each subtree in the same order).
    template <typename Visit>
    void walk(Visit &&visit) {
        std::vector<Index> stack;
        if (root_ != NIL)
            stack.push_back(root_);
        while (!stack.empty()) {
            Index x = stack.back();
            stack.pop_back();
            visit(x);
            if (nodes_[x].left != NIL)
                stack.push_back(nodes_[x].left);
            if (nodes_[x].right != NIL)
                stack.push_back(nodes_[x].right);
        }
    }

    uint32_t count() {
        uint32_t n = 0;
        walk([&](Index) { ++n; });
        return n;
    }

    // Empties the tree, handing each key and value to free_fn when one is given.
    void clear(const std::function<void(Key &, Value &)> &free_fn = nullptr) {
        if (free_fn) {
            walk([&](Index x) { free_fn(nodes_[x].key, nodes_[x].value); });
        }
        nodes_.clear();
        root_ = NIL;
    }

  private:
    void attach(Index parent, bool left, Index n) {
        nodes_[n].parent = parent;
        if (parent == NIL)
            root_ = n;
        else if (left)
            nodes_[parent].left = n;
        else
            nodes_[parent].right = n;
    }

    // Puts node n at the root of the subtree rooted at x (x's size already counts n).
    void insert_at_root(Index x, Index n) {
        // Descend to the empty place, recording the path, then rotate n up to x's position.
        std::vector<Index> path;
        Index y = x, last = nodes_[x].parent;
        bool went_left = false;
        while (y != NIL) {
            path.push_back(y);
            last = y;
            went_left = cmp_(nodes_[n].key, nodes_[y].key) < 0;
            y = went_left ? nodes_[y].left : nodes_[y].right;
        }
        // Sizes below x do not count n yet; each rotation recomputes the two sizes it changes.
        attach(last, went_left, n);
        for (size_t i = path.size(); i-- > 0;) {
            Index p = path[i];
            if (nodes_[p].left == n)
                rotate_right(p);
            else
                rotate_left(p);
        }
    }

    uint32_t size_of(Index i) const { return i == NIL ? 0 : nodes_[i].size; }

    void replace_child(Index parent, Index old_child, Index new_child) {
        if (parent == NIL)
            root_ = new_child;
        else if (nodes_[parent].left == old_child)
            nodes_[parent].left = new_child;
        else
            nodes_[parent].right = new_child;
        nodes_[new_child].parent = parent;
    }

    void rotate_left(Index x) {
        PLX_ASSERT(nodes_[x].right != NIL);
        Index r = nodes_[x].right;
        replace_child(nodes_[x].parent, x, r);
        nodes_[x].right = nodes_[r].left;
        if (nodes_[r].left != NIL)
            nodes_[nodes_[r].left].parent = x;
        nodes_[r].left = x;
        nodes_[x].parent = r;
        fix_sizes(x, r);
    }

    void rotate_right(Index x) {
        PLX_ASSERT(nodes_[x].left != NIL);
        Index l = nodes_[x].left;
        replace_child(nodes_[x].parent, x, l);
        nodes_[x].left = nodes_[l].right;
        if (nodes_[l].right != NIL)
            nodes_[nodes_[l].right].parent = x;
        nodes_[l].right = x;
        nodes_[x].parent = l;
        fix_sizes(x, l);
    }

    // After a rotation that lifted `up` above x: x's size from its children, up's from its own.
    void fix_sizes(Index x, Index up) {
        nodes_[x].size = 1 + size_of(nodes_[x].left) + size_of(nodes_[x].right);
        nodes_[up].size = 1 + size_of(nodes_[up].left) + size_of(nodes_[up].right);
    }

    std::vector<Node> nodes_;
    Index root_ = NIL;
    Compare cmp_;
};
