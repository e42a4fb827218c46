#include "compiler/eclass.h"

#include <algorithm>
#include <cstring>

#include "common/plx_log.h"
#include "compiler/plx_compiler.h"

ClassSet::ClassSet(uint32_t nbits) : nbits_(nbits), nwords_(plx_epi_words(nbits)) {
    slots_.assign(16, 0);
}

void ClassSet::grow(size_t classes) {
    size_t n = slots_.size() * 2;
    while (classes * 2 > n)
        n *= 2;
    std::vector<uint32_t> slots(n, 0);
    size_t mask = slots.size() - 1;
    for (uint32_t ec = 0; ec < size(); ++ec) {
        size_t i = plx_hash_mix(hashes_[ec]) & mask;
        while (slots[i])
            i = (i + 1) & mask;
        slots[i] = ec + 1;
        if ((ec & 0xFFFF) == 0xFFFF)
            plx_compiler_yield();
    }
    slots_.swap(slots);
}

size_t ClassSet::free_slot(uint64_t h) const {
    size_t mask = slots_.size() - 1;
    size_t i = plx_hash_mix(h) & mask;
    while (slots_[i])
        i = (i + 1) & mask;
    return i;
}

uint32_t ClassSet::append(size_t slot, const uint64_t *v, uint64_t h) {
    uint32_t ec = size();
    plx_reserve_yielding(vec_, nwords_);
    vec_.insert(vec_.end(), v, v + nwords_);
    plx_reserve_yielding(hashes_, 1);
    hashes_.push_back(h);
    slots_[slot] = ec + 1;
    if (size_t{size()} * 2 > slots_.size())
        grow(size());
    return ec;
}

uint32_t ClassSet::append_pair(size_t slot, const uint64_t *v, uint64_t h, uint32_t a, uint32_t b) {
    uint32_t ec = size();
    // Vectors are kept while they fit the budget (a comparison against a stored vector reads
    // one place instead of two); later classes are known by their pair only.
    if (stored() == ec && vec_.size() + nwords_ <= kPairVectorBudgetWords) {
        plx_reserve_yielding(vec_, nwords_);
        vec_.insert(vec_.end(), v, v + nwords_);
    }
    plx_reserve_yielding(hashes_, 1);
    hashes_.push_back(h);
    plx_reserve_yielding(pair_a_, 1);
    pair_a_.push_back(a);
    plx_reserve_yielding(pair_b_, 1);
    pair_b_.push_back(b);
    slots_[slot] = ec + 1;
    if (size_t{size()} * 2 > slots_.size())
        grow(size());
    return ec;
}

void ClassSet::reserve(size_t n, bool pairs) {
    const size_t total = size() + n;
    if (!pairs)
        plx_reserve_yielding(vec_, n * nwords_);
    else if (stored() == size() && nwords_ && vec_.size() < kPairVectorBudgetWords)
        plx_reserve_yielding(
            vec_, std::min(n, (kPairVectorBudgetWords - vec_.size()) / nwords_) * nwords_);
    plx_reserve_yielding(hashes_, n);
    if (pairs) {
        plx_reserve_yielding(pair_a_, n);
        plx_reserve_yielding(pair_b_, n);
    }
    if (total * 2 > slots_.size())
        grow(total);
}

uint32_t ClassSet::add(const uint64_t *v, uint64_t h) {
    return append(free_slot(h), v, h);
}

uint32_t ClassSet::add_pair(const uint64_t *v, uint64_t h, uint32_t a, uint32_t b) {
    return append_pair(free_slot(h), v, h, a, b);
}

uint32_t ClassSet::find_or_add(const uint64_t *v, uint64_t h) {
    size_t mask = slots_.size() - 1;
    size_t i = plx_hash_mix(h) & mask;
    for (; slots_[i]; i = (i + 1) & mask) {
        uint32_t ec = slots_[i] - 1;
        if (hashes_[ec] == h && std::memcmp(vec(ec), v, nwords_ * sizeof(uint64_t)) == 0)
            return ec;
    }
    return append(i, v, h);
}

uint32_t ClassSet::find_or_add_pair(const uint64_t *v, uint64_t h, uint32_t a, uint32_t b,
                                    const ClassSet &A, const ClassSet &B) {
    size_t mask = slots_.size() - 1;
    size_t i = plx_hash_mix(h) & mask;
    for (; slots_[i]; i = (i + 1) & mask) {
        uint32_t ec = slots_[i] - 1;
        if (hashes_[ec] != h)
            continue;
        if (ec < stored()) {
            if (std::memcmp(vec(ec), v, nwords_ * sizeof(uint64_t)) == 0)
                return ec;
            continue;
        }
        const uint64_t *x = A.vec(pair_a_[ec]), *y = B.vec(pair_b_[ec]);
        uint32_t w = 0;
        while (w < nwords_ && (x[w] & y[w]) == v[w])
            ++w;
        if (w == nwords_)
            return ec;
    }
    return append_pair(i, v, h, a, b);
}

void ClassSet::materialize(const ClassSet &A, const ClassSet &B) {
    if (has_vectors())
        return;
    uint32_t from = stored();
    // Hundreds of megabytes for a large table: grown and filled a slice of classes at a time.
    plx_reserve_yielding(vec_, size_t{size() - from} * nwords_);
    constexpr uint32_t kSlice = 4096;
    for (uint32_t ec0 = from; ec0 < size(); ec0 += kSlice) {
        const uint32_t ec1 = std::min(size(), ec0 + kSlice);
        vec_.resize(size_t{ec1} * nwords_);
        for (uint32_t ec = ec0; ec < ec1; ++ec) {
            const uint64_t *x = A.vec(pair_a_[ec]), *y = B.vec(pair_b_[ec]);
            uint64_t *z = vec_.data() + size_t{ec} * nwords_;
            for (uint32_t w = 0; w < nwords_; ++w)
                z[w] = x[w] & y[w];
        }
        plx_compiler_yield();
    }
}

void ClassSet::drop_vectors() {
    std::vector<uint64_t>().swap(vec_);
}

// The classes are sorted a word at a time from the top (multikey quicksort): a run of classes
// equal on the words above w is split three ways around a pivot's word w, and only the middle
// part, still equal on w, goes on to w - 1. The vectors of a large table share long runs of top
// words (the rules near the end, wildcards, are in nearly every class), which a comparison sort
// would compare again at every comparison.
const std::vector<uint32_t> &ClassSet::sorted() {
    if (order_.size() == size())
        return order_;
    PLX_ASSERT(has_vectors());
    order_.resize(size());
    for (uint32_t ec = 0; ec < size(); ++ec)
        order_[ec] = ec;
    struct Run {
        uint32_t begin, end;  // positions in order_
        uint32_t words;       // equal on the words from this one up
    };
    std::vector<Run> runs;
    if (size() > 1)
        runs.push_back({0, size(), nwords_});
    // Sorting the classes of a large table takes a while: let due timers run meanwhile.
    uint64_t work = 0, yielded = 0;
    while (!runs.empty()) {
        Run r = runs.back();
        runs.pop_back();
        while (r.end - r.begin > 1 && r.words > 0) {
            uint32_t *ids = order_.data() + r.begin;
            const uint32_t n = r.end - r.begin, w = r.words - 1;
            auto key = [&](uint32_t i) { return vec(ids[i])[w]; };
            if (n <= 8) {
                std::sort(ids, ids + n, [&](uint32_t a, uint32_t b) {
                    return plx_cmp_words(vec(a), vec(b), r.words) < 0;
                });
                break;
            }
            const uint64_t a = key(0), b = key(n / 2), c = key(n - 1);
            const uint64_t pivot = std::max(std::min(a, b), std::min(std::max(a, b), c));
            // ids[0, lt) < pivot, [lt, i) == pivot, (gt, n) > pivot.
            uint32_t lt = 0, i = 0, gt = n;
            while (i < gt) {
                const uint64_t k = key(i);
                if (k < pivot)
                    std::swap(ids[lt++], ids[i++]);
                else if (k > pivot)
                    std::swap(ids[i], ids[--gt]);
                else
                    ++i;
            }
            work += n;
            if (lt > 1)
                runs.push_back({r.begin, r.begin + lt, r.words});
            if (n - gt > 1)
                runs.push_back({r.begin + gt, r.end, r.words});
            r = {r.begin + lt, r.begin + gt, w};
        }
        if (work - yielded > (uint64_t{1} << 16)) {
            yielded = work;
            plx_compiler_yield();
        }
    }
    return order_;
}

std::optional<uint32_t> EcTable::first_rule(uint32_t ec) const {
    if (ec < classes.stored())
        return plx_first_set_words(classes.vec(ec), classes.nwords());
    PLX_ASSERT(combined && left && right);
    const uint64_t *x = left->classes.vec(classes.pair_a(ec));
    const uint64_t *y = right->classes.vec(classes.pair_b(ec));
    for (uint32_t w = 0; w < classes.nwords(); ++w) {
        if (uint64_t z = x[w] & y[w])
            return w * 64 + static_cast<uint32_t>(__builtin_ctzll(z));
    }
    return std::nullopt;
}
