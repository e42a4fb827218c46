#include "compiler/epi.h"

#include "common/plx_log.h"

Epi::Epi(int32_t n)
    : nbits(n),
      ndigits(static_cast<uint16_t>((n + 7) / 8)),
      words(plx_epi_words(static_cast<uint32_t>(n))) {
    PLX_ASSERT(n >= 0 && (n + 7) / 8 <= 0xFFFF);
}

bool Epi::get(int32_t bitPos) const {
    const Epi *pVal = this;
    PLX_ASSERT(bitPos < pVal->nbits);
    return (words[bitPos / 64] >> (bitPos % 64)) & 1;
}

void Epi::set(int32_t bitPos, bool value) {
    const Epi *pVal = this;
    PLX_ASSERT(bitPos < pVal->nbits);
    uint64_t mask = uint64_t{1} << (bitPos % 64);
    if (value)
        words[bitPos / 64] |= mask;
    else
        words[bitPos / 64] &= ~mask;
}

uint8_t Epi::byte(uint32_t bytePos) const {
    const Epi *pVal = this;
    PLX_ASSERT(bytePos < pVal->ndigits);
    return static_cast<uint8_t>(words[bytePos / 8] >> (bytePos % 8 * 8));
}

void Epi::and_into(Epi &z, const Epi &x, const Epi &y) {
    const Epi *Z = &z, *X = &x, *Y = &y;
    PLX_ASSERT(X->nbits >= Z->nbits);
    PLX_ASSERT(Y->nbits >= Z->nbits);
    for (uint32_t i = 0; i < z.nwords(); ++i)
        z.words[i] = x.words[i] & y.words[i];
    if (z.nbits % 64)
        z.words.back() &= (uint64_t{1} << (z.nbits % 64)) - 1;
}

int plx_cmp(const Epi &x, const Epi &y) {
    const Epi *pX = &x, *pY = &y;
    PLX_ASSERT(pX->ndigits == pY->ndigits);
    return plx_cmp_words(x.words.data(), y.words.data(), x.nwords());
}
