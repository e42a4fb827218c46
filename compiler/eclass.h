// Equivalence-class tables. A table cuts one value space (a packet field, or the index space of
// a combination of two tables) into intervals, and gives each interval the class of rules it
// satisfies. Classes with the same rule set share one ec_id; ec_ids are numbered in the order
// in which the classes are first met.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "compiler/epi.h"
#include "compiler/rbst.h"

// The set of classes of one table, keyed by rule bit vector.
//
// Lookup goes through a hash of the vector (one full comparison on a hash hit), not a comparison
// per tree level. The comparison order of the vectors, which numbers the classes of any
// combination made from this table, is computed once the table is complete (sorted()).
//
// A combination table does not keep its vectors while it is built: each class remembers the
// pair of input classes it came from, and its vector is the AND of theirs. Vectors are stored
// only when the table is itself combined again (materialize()).
class ClassSet {
  public:
    // How many vector words a table built from pairs keeps (512 MiB).
    static constexpr size_t kPairVectorBudgetWords = size_t{64} << 20;

    explicit ClassSet(uint32_t nbits = 0);

    uint32_t nbits() const { return nbits_; }
    uint32_t nwords() const { return nwords_; }
    uint32_t size() const { return static_cast<uint32_t>(hashes_.size()); }
    bool has_vectors() const { return vec_.size() == size_t{size()} * nwords_; }
    // Number of classes (from ec_id 0) whose vectors are stored.
    uint32_t stored() const {
        return nwords_ ? static_cast<uint32_t>(vec_.size() / nwords_) : size();
    }
    const uint64_t *vec(uint32_t ec) const { return vec_.data() + size_t{ec} * nwords_; }

    // Finds the class of the stored vector v (hash h), or adds it. Returns the ec_id.
    uint32_t find_or_add(const uint64_t *v, uint64_t h);
    // Same for a combination: v = a's vector AND b's vector, remembered as the pair (a, b).
    uint32_t find_or_add_pair(const uint64_t *v, uint64_t h, uint32_t a, uint32_t b,
                              const ClassSet &A, const ClassSet &B);
    // Adds a class the caller knows to be new: the vector v (hash h). Returns its ec_id.
    uint32_t add(const uint64_t *v, uint64_t h);
    // Same for a combination's class made from the pair (a, b); v is kept within the budget.
    uint32_t add_pair(const uint64_t *v, uint64_t h, uint32_t a, uint32_t b);
    // Room for n more classes (added with add, or add_pair when `pairs`): their storage grows
    // once to its final size instead of doubling its way there.
    void reserve(size_t n, bool pairs);
    uint32_t pair_a(uint32_t ec) const { return pair_a_[ec]; }
    uint32_t pair_b(uint32_t ec) const { return pair_b_[ec]; }

    // Stores the vectors of a combination's classes from its inputs.
    void materialize(const ClassSet &A, const ClassSet &B);
    // Drops stored vectors (the table will not be read again).
    void drop_vectors();
    // ec_ids in the order of their vectors (computed on first use; needs the vectors).
    const std::vector<uint32_t> &sorted();

  private:
    // Doubles the slot table until it holds `classes` at most half full.
    void grow(size_t classes);
    // First empty slot on h's probe sequence.
    size_t free_slot(uint64_t h) const;
    uint32_t append(size_t slot, const uint64_t *v, uint64_t h);
    uint32_t append_pair(size_t slot, const uint64_t *v, uint64_t h, uint32_t a, uint32_t b);

    uint32_t nbits_;
    uint32_t nwords_;
    std::vector<uint64_t> vec_;
    std::vector<uint64_t> hashes_;
    std::vector<uint32_t> pair_a_, pair_b_;
    std::vector<uint32_t> slots_;  // open addressing: ec_id + 1, 0 empty
    std::vector<uint32_t> order_;
};

// Hash of a vector: a sum of per-word terms (word times an odd per-position constant), so that
// one word can be updated alone and the sum over a vector runs at memory speed. A zero word
// contributes nothing. Collisions cost only a comparison.
inline uint64_t plx_word_key(uint32_t i) {
    return (uint64_t{i} * 0x9e3779b97f4a7c16ULL) | 1;
}
inline uint64_t plx_word_hash(uint64_t w, uint32_t i) {
    return w * plx_word_key(i);
}
inline uint64_t plx_vec_hash(const uint64_t *v, uint32_t n) {
    uint64_t h = 0;
    for (uint32_t i = 0; i < n; ++i)
        h += plx_word_hash(v[i], i);
    return h;
}
// Spreads a hash over the bits used to pick a slot.
inline uint64_t plx_hash_mix(uint64_t h) {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    return h;
}

// Calls the yield hook of the compile running on this thread (nothing on a compile's worker
// threads or outside a compile).
void plx_compiler_yield();

// Makes room for `extra` more elements at the end of v. A vector of a large table holds
// hundreds of megabytes, and doubling it in one reallocation would copy them without a break
// for the yield hook: the copy into the new storage goes a slice at a time.
template <typename T>
void plx_reserve_yielding(std::vector<T> &v, size_t extra) {
    if (v.size() + extra <= v.capacity())
        return;
    constexpr size_t kSliceBytes = size_t{16} << 20;
    constexpr size_t kSlice = kSliceBytes / sizeof(T) ? kSliceBytes / sizeof(T) : 1;
    if (v.size() < kSlice) {
        v.reserve(std::max(v.size() + extra, v.capacity() * 2));
        return;
    }
    std::vector<T> bigger;
    bigger.reserve(std::max(v.size() + extra, v.capacity() * 2));
    for (size_t at = 0; at < v.size(); at += kSlice) {
        bigger.insert(bigger.end(), v.begin() + static_cast<std::ptrdiff_t>(at),
                      v.begin() + static_cast<std::ptrdiff_t>(std::min(v.size(), at + kSlice)));
        plx_compiler_yield();
    }
    v.swap(bigger);
}

// An allocator that leaves elements it value-initialises (vector::resize) uninitialised: the
// pair table of a combination is resized and then written whole, so clearing it first would
// only write its hundreds of megabytes twice.
template <typename T>
struct PlxNoInitAllocator : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = PlxNoInitAllocator<U>;
    };
    PlxNoInitAllocator() = default;
    template <typename U>
    PlxNoInitAllocator(const PlxNoInitAllocator<U> &) {}
    template <typename U>
    void construct(U *p) noexcept {
        ::new (static_cast<void *>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U *p, Args &&...args) {
        ::new (static_cast<void *>(p)) U(std::forward<Args>(args)...);
    }
};

struct EcInterval {
    uint32_t lo;
    uint32_t hi;  // exclusive
    uint32_t ec_id;
};

struct EcTable {
    uint32_t id = 0;
    uint32_t field_id = 0;  // leaf tables
    uint8_t combined = 0;
    uint32_t reg = 0;
    EcTable *left = nullptr, *right = nullptr, *parent = nullptr;

    Rbst<uint32_t> boundaries;  // leaf tables: range ends
    // Leaf tables: intervals in ascending lo. Combinations: interval i is [i, i+1) and only
    // its ec_id is kept (combo_ec[i]).
    std::vector<EcInterval> intervals;
    std::vector<uint32_t, PlxNoInitAllocator<uint32_t>> combo_ec;
    ClassSet classes;

    uint32_t num_intervals() const {
        return combined ? static_cast<uint32_t>(combo_ec.size())
                        : static_cast<uint32_t>(intervals.size());
    }
    uint32_t num_classes() const { return classes.size(); }
    EcInterval interval(uint32_t i) const {
        return combined ? EcInterval{i, i + 1, combo_ec[i]} : intervals[i];
    }
    // Position of the first rule in class ec's rule set, if any.
    std::optional<uint32_t> first_rule(uint32_t ec) const;
};
