#include "common/ip_util.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

#include "common/plx_status.h"

const char *plx_ip_to_str(const plx_ip_addr *ip) {
    static thread_local char bufs[8][128];
    static thread_local unsigned next = 0;
    char *out = bufs[next++ & 7];
    const uint8_t *a = ip->addr;
    if (ip->family == PLX_AF_IPV4) {
        std::snprintf(out, 128, "%u.%u.%u.%u", a[0], a[1], a[2], a[3]);
        return out;
    }
    uint16_t g[8];
    for (int i = 0; i < 8; ++i)
        g[i] = static_cast<uint16_t>(a[2 * i] << 8 | a[2 * i + 1]);
    // The longest run of zero groups (the first of equal runs, even a single group) becomes "::".
    int best = -1, best_len = 0;
    for (int i = 0; i < 8;) {
        if (g[i] != 0) {
            ++i;
            continue;
        }
        int j = i;
        while (j < 8 && g[j] == 0)
            ++j;
        if (j - i > best_len) {
            best = i;
            best_len = j - i;
        }
        i = j;
    }
    size_t n = 0;
    for (int i = 0; i < 8; ++i) {
        if (i == best) {
            n += std::snprintf(out + n, 128 - n, "::");
            i += best_len - 1;
            continue;
        }
        bool after_gap = best >= 0 && i == best + best_len;
        n += std::snprintf(out + n, 128 - n, "%s%x", (i == 0 || after_gap) ? "" : ":", g[i]);
    }
    return out;
}

int plx_ip_from_str(const char *text, plx_ip_addr *out) {
    std::memset(out, 0, sizeof(*out));
    if (inet_pton(AF_INET, text, out->addr) == 1) {
        out->family = PLX_AF_IPV4;
        return PLX_OK;
    }
    if (inet_pton(AF_INET6, text, out->addr) == 1) {
        out->family = PLX_AF_IPV6;
        return PLX_OK;
    }
    return PLX_EINVAL;
}
