// Fixed-size, NUL-terminated name fields of the policy model and their orders.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string_view>

namespace plx::cfg {

// A name stored in N bytes: at most N - 1 characters, the rest zero. Longer input is cut.
template <size_t N>
struct fixed_name {
    char s[N] = {};

    fixed_name() = default;
    explicit fixed_name(std::string_view v) { assign(v); }
    void assign(std::string_view v) {
        size_t n = std::min(v.size(), N - 1);
        if (n)
            std::memcpy(s, v.data(), n);
        std::memset(s + n, 0, N - n);
    }
    std::string_view view() const { return {s, strnlen(s, N)}; }
    const char *c_str() const { return s; }
    bool empty() const { return s[0] == '\0'; }
    bool operator==(std::string_view v) const { return view() == v; }
};

inline constexpr size_t PLX_NAME_LEN = 128;       // names of policies, lists, counters, ...
inline constexpr size_t PLX_SHORT_NAME_LEN = 33;  // SLA-class and forwarding-class names
using plx_name = fixed_name<PLX_NAME_LEN>;
using plx_short_name = fixed_name<PLX_SHORT_NAME_LEN>;

// A name as the model stores it: cut to the field's capacity.
inline std::string_view plx_name_cut(std::string_view v, size_t field = PLX_NAME_LEN) {
    return v.substr(0, std::min(v.size(), field - 1));
}

// Bytewise order.
inline int plx_name_cmp(std::string_view a, std::string_view b) {
    int c = a.compare(b);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

// The order of the policy, VPN-list and app-list dbs: shorter names first, names of equal
// length bytewise.
inline int plx_name_cmp_len_first(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return a.size() < b.size() ? -1 : 1;
    return plx_name_cmp(a, b);
}

}  // namespace plx::cfg
