// Client library: printf-style paths whose keys may be given as values.
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <cstdio>
#include <string>
#include <type_traits>

#include "platform/confd/confd_client.h"

namespace confd_client {

namespace {

// Appends one standard conversion: spec is the whole "%...c" text, stars the values of its
// '*' width and precision (nstars of them), then the argument.
template <typename T>
void emit(std::string &out, const std::string &spec, int nstars, const int stars[2], T arg) {
    char small[256];
    auto run = [&](char *buf, size_t size) {
        switch (nstars) {
            case 0:
                return snprintf(buf, size, spec.c_str(), arg);
            case 1:
                return snprintf(buf, size, spec.c_str(), stars[0], arg);
            default:
                return snprintf(buf, size, spec.c_str(), stars[0], stars[1], arg);
        }
    };
    const int n = run(small, sizeof small);
    if (n < 0)
        return;
    if (static_cast<size_t>(n) < sizeof small) {
        out.append(small, static_cast<size_t>(n));
        return;
    }
    std::string big(static_cast<size_t>(n) + 1, '\0');
    run(big.data(), big.size());
    big.resize(static_cast<size_t>(n));
    out += big;
}

// Appends an integer conversion, reading the argument of the size its length modifier names:
// signed for %d and %i, unsigned for the others (%t reads a ptrdiff_t either way).
template <bool Signed>
void emit_integer(std::string &out, const std::string &spec, int nstars, const int stars[2],
                  const std::string &len, va_list &aq) {
    using Int = std::conditional_t<Signed, int, unsigned>;
    using Long = std::conditional_t<Signed, long, unsigned long>;
    using LongLong = std::conditional_t<Signed, long long, unsigned long long>;
    using Max = std::conditional_t<Signed, intmax_t, uintmax_t>;
    using Size = std::conditional_t<Signed, ssize_t, size_t>;
    if (len == "l")
        emit(out, spec, nstars, stars, va_arg(aq, Long));
    else if (len == "ll" || len == "q")
        emit(out, spec, nstars, stars, va_arg(aq, LongLong));
    else if (len == "j")
        emit(out, spec, nstars, stars, va_arg(aq, Max));
    else if (len == "z")
        emit(out, spec, nstars, stars, va_arg(aq, Size));
    else if (len == "t")
        emit(out, spec, nstars, stars, va_arg(aq, ptrdiff_t));
    else
        emit(out, spec, nstars, stars, va_arg(aq, Int));
}

// A key as the path parser reads it back: quoted (with '"' and '\' escaped) when it is empty
// or holds a separator.
void append_key(std::string &out, const confd_value_t &v) {
    const int n = confd_pp_value(nullptr, 0, &v);
    std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0)
        confd_pp_value(text.data(), n + 1, &v);
    if (!text.empty() && text.find_first_of(" \"{}\\") == std::string::npos) {
        out += text;
        return;
    }
    out += '"';
    for (char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    out += '"';
}

}  // namespace

std::string format_path(const char *fmt, va_list ap) {
    std::string out;
    if (!fmt)
        return out;
    va_list aq;
    va_copy(aq, ap);
    for (const char *p = fmt; *p;) {
        if (*p != '%') {
            out += *p++;
            continue;
        }
        const char *start = p++;
        if (*p == '%') {
            out += '%';
            ++p;
            continue;
        }
        int stars[2] = {0, 0};
        int nstars = 0;
        while (*p && std::string_view("-+ #0'").find(*p) != std::string_view::npos)
            ++p;
        // Width, then precision: digits or a '*' taking an int argument.
        auto skip_number = [&] {
            if (*p == '*') {
                stars[nstars++] = va_arg(aq, int);
                ++p;
            }
            while (*p >= '0' && *p <= '9')
                ++p;
        };
        skip_number();
        if (*p == '.') {
            ++p;
            skip_number();
        }
        std::string len;
        while (*p && std::string_view("hlqjztL").find(*p) != std::string_view::npos)
            len += *p++;
        const char conv = *p;
        if (!conv)
            break;
        ++p;
        const std::string spec(start, static_cast<size_t>(p - start));
        if (conv == 'x' && len.empty()) {
            // A key given as a value: "%x" one value, "%*x" a count and an array of values,
            // written space-separated as a list's keys are.
            if (spec.find('*') != std::string::npos) {
                const confd_value_t *vals = va_arg(aq, const confd_value_t *);
                for (int i = 0; vals && i < stars[0]; ++i) {
                    if (i)
                        out += ' ';
                    append_key(out, vals[i]);
                }
            } else if (const confd_value_t *v = va_arg(aq, const confd_value_t *)) {
                append_key(out, *v);
            }
            continue;
        }
        switch (conv) {
            case 'd':
            case 'i':
                emit_integer<true>(out, spec, nstars, stars, len, aq);
                break;
            case 'u':
            case 'o':
            case 'x':
            case 'X':
                emit_integer<false>(out, spec, nstars, stars, len, aq);
                break;
            case 'c':
                emit(out, spec, nstars, stars, va_arg(aq, int));
                break;
            case 's': {
                const char *s = va_arg(aq, const char *);
                emit(out, spec, nstars, stars, s ? s : "(null)");
                break;
            }
            case 'p':
                emit(out, spec, nstars, stars, va_arg(aq, void *));
                break;
            case 'f':
            case 'F':
            case 'e':
            case 'E':
            case 'g':
            case 'G':
            case 'a':
            case 'A':
                if (len == "L")
                    emit(out, spec, nstars, stars, va_arg(aq, long double));
                else
                    emit(out, spec, nstars, stars, va_arg(aq, double));
                break;
            default:
                // Unknown conversions (and %n) are written as they stand, consuming nothing.
                out += spec;
                break;
        }
    }
    va_end(aq);
    return out;
}

}  // namespace confd_client
