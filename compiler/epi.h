// Bit vectors of rules (one bit per rule of the rule table, bit i = the rule at position i).
//
// A vector is stored as 64-bit words; bit i lives in word i/64 at bit i%64, which on a
// little-endian host is byte i/8 at bit i%8. Vectors are ordered as little-endian numbers:
// compared from the most significant word down, unsigned. Comparing 64-bit words from the top
// gives the same order as comparing the bytes from the top.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

inline constexpr uint32_t plx_epi_words(uint32_t nbits) {
    return (nbits + 63) / 64;
}

// Order of two vectors of n words: -1, 0 or 1.
inline int plx_cmp_words(const uint64_t *x, const uint64_t *y, uint32_t n) {
    for (uint32_t i = n; i-- > 0;) {
        if (x[i] != y[i])
            return x[i] < y[i] ? -1 : 1;
    }
    return 0;
}

// Index of the lowest set bit of n words, if any.
inline std::optional<uint32_t> plx_first_set_words(const uint64_t *x, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) {
        if (x[i])
            return i * 64 + static_cast<uint32_t>(__builtin_ctzll(x[i]));
    }
    return std::nullopt;
}

// A bit vector value: nbits bits, ndigits = nbits/8 rounded up bytes, held in 64-bit words.
struct Epi {
    int32_t nbits = 0;
    uint16_t ndigits = 0;
    std::vector<uint64_t> words;

    // All bits clear. The byte count must fit 16 bits.
    explicit Epi(int32_t nbits);

    uint32_t nwords() const { return static_cast<uint32_t>(words.size()); }
    bool get(int32_t bitPos) const;
    void set(int32_t bitPos, bool value);
    // Byte i of the little-endian number.
    uint8_t byte(uint32_t bytePos) const;
    std::optional<uint32_t> first_set() const {
        return plx_first_set_words(words.data(), nwords());
    }

    // Z := X AND Y over Z's length; X and Y must be at least as long as Z.
    static void and_into(Epi &Z, const Epi &X, const Epi &Y);

    bool operator==(const Epi &o) const = default;
};

// Order of two vectors of the same byte count: -1, 0, 1.
int plx_cmp(const Epi &pX, const Epi &pY);
