#include "compiler/eclass.h"

#include <algorithm>
#include <cstring>

#include "common/plx_log.h"
#include "compiler/plx_compiler.h"

ClassSet::ClassSet(uint32_t nbits) : nbits_(nbits), nwords_(plx_epi_words(nbits)) {
    slots_.assign(16, 0);
}

void ClassSet::grow() {
    std::vector<uint32_t> slots(slots_.size() * 2, 0);
    size_t mask = slots.size() - 1;
    for (uint32_t ec = 0; ec < size(); ++ec) {
        size_t i = plx_hash_mix(hashes_[ec]) & mask;
        while (slots[i])
            i = (i + 1) & mask;
        slots[i] = ec + 1;
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
    vec_.insert(vec_.end(), v, v + nwords_);
    hashes_.push_back(h);
    slots_[slot] = ec + 1;
    if (size_t{size()} * 2 > slots_.size())
        grow();
    return ec;
}

uint32_t ClassSet::append_pair(size_t slot, const uint64_t *v, uint64_t h, uint32_t a, uint32_t b) {
    uint32_t ec = size();
    // Vectors are kept while they fit the budget (a comparison against a stored vector reads
    // one place instead of two); later classes are known by their pair only.
    if (stored() == ec && vec_.size() + nwords_ <= kPairVectorBudgetWords)
        vec_.insert(vec_.end(), v, v + nwords_);
    hashes_.push_back(h);
    pair_a_.push_back(a);
    pair_b_.push_back(b);
    slots_[slot] = ec + 1;
    if (size_t{size()} * 2 > slots_.size())
        grow();
    return ec;
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
    vec_.resize(size_t{size()} * nwords_);
    for (uint32_t ec = from; ec < size(); ++ec) {
        const uint64_t *x = A.vec(pair_a_[ec]), *y = B.vec(pair_b_[ec]);
        uint64_t *z = vec_.data() + size_t{ec} * nwords_;
        for (uint32_t w = 0; w < nwords_; ++w)
            z[w] = x[w] & y[w];
    }
}

void ClassSet::drop_vectors() {
    std::vector<uint64_t>().swap(vec_);
}

const std::vector<uint32_t> &ClassSet::sorted() {
    if (order_.size() != size()) {
        PLX_ASSERT(has_vectors());
        order_.resize(size());
        for (uint32_t ec = 0; ec < size(); ++ec)
            order_[ec] = ec;
        // Sorting the classes of a large table takes seconds: let due timers run meanwhile.
        uint32_t compares = 0;
        std::sort(order_.begin(), order_.end(), [this, &compares](uint32_t a, uint32_t b) {
            if ((++compares & 0xFFFF) == 0)
                plx_compiler_yield();
            return plx_cmp_words(vec(a), vec(b), nwords_) < 0;
        });
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
