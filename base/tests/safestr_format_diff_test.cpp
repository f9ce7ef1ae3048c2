// The format engine against the C library's snprintf: thousands of
// generated conversions (fixed seed, so a failure reproduces), single ones
// with widths and precisions from digits or from the argument list, and
// formats of several conversions in order or with numbered arguments.
// Not compared, because the two differ on purpose: %p (at least 8 digits,
// no "(nil)"), an integer precision of 0 with the value 0 (one "0" digit),
// and '#' with x/X for 0 ("0x0").
#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cstdarg>
#include <string>
#include <vector>

#include "support/safestr_format_support.h"

using namespace fmt_test;

namespace {

struct Rng {
    uint64_t s;
    uint64_t next()
    {
        uint64_t z = (s += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    int below(int n) { return (int)(next() % (uint64_t)n); }
    bool coin() { return next() & 1; }
};

// A %s argument. A safe string handle is plain zero-terminated text as
// well, so both engines read one argument list: that keeps the typed part of
// each comparison down to a one-line forwarder (the chains below make
// hundreds of argument-type combinations).
struct Str {
    const char *c;
};

struct Tally {
    int compared = 0;
    int mismatches = 0;
};

safestr_t made[8]; // strings made for the comparison under way
int n_made;

template <class X>
X Arg(X x)
{
    return x;
}
inline safestr_t Arg(Str s)
{
    safestr_t h = safestr_create(s.c, 0);
    made[n_made++] = h;
    return h;
}

// Formats with snprintf and with safestr_vasprintf from the same arguments.
void SameV(Tally *tally, const char *format, ...)
{
    static char want[1 << 16];
    va_list ours, theirs;
    va_start(ours, format);
    va_copy(theirs, ours);
    int wn = vsnprintf(want, sizeof want, format, theirs);
    va_end(theirs);
    std::string got;
    int n = -1;
    Thrown t{0, nullptr, nullptr};
    if (wn >= 0 && (size_t)wn < sizeof want) {
        t = Guarded([&] {
            safestr_t out = nullptr;
            n = safestr_vasprintf(&out, T(format), ours);
            got.assign(out, safestr_length(out));
            safestr_free(out);
        });
    }
    va_end(ours);
    for (int i = 0; i < n_made; i++)
        safestr_free(made[i]);
    n_made = 0;
    tally->compared++;
    if (wn < 0 || (size_t)wn >= sizeof want || t.code || n != wn || got != std::string(want, wn)) {
        if (tally->mismatches++ < 20)
            ADD_FAILURE() << "format \"" << format << "\": snprintf \"" << std::string(want, wn < 0 ? 0 : wn)
                          << "\" (" << wn << "), ours \"" << got << "\" (" << n << "), code " << t.code;
    }
}

template <class... A>
void Same(Tally &tally, const std::string &format, A... args)
{
    SameV(&tally, format.c_str(), Arg(args)...);
}

enum Ty { TY_INT, TY_LL, TY_DBL, TY_LDBL, TY_STR, TY_CHR };

const char *const kStrings[] = {"", "a", "hello", "hello world", "0123456789abcdefghijklmnopqrstuvwxyz", "%d %s"};

long long pick_int(Rng &r)
{
    switch (r.below(8)) {
    case 0: return 0;
    case 1: return r.coin() ? 1 : -1;
    case 2: return r.coin() ? INT_MIN : INT_MAX;
    case 3: return r.coin() ? LLONG_MIN : LLONG_MAX;
    case 4: return (long long)(r.next() % 2000) - 1000;
    case 5: return (long long)(r.next() >> r.below(64));
    default: return (long long)r.next();
    }
}

double pick_double(Rng &r)
{
    switch (r.below(10)) {
    case 0: return r.coin() ? 0.0 : -0.0;
    case 1: return r.coin() ? INFINITY : -INFINITY;
    case 2: return NAN;
    case 3: return r.coin() ? DBL_MAX : -DBL_MAX;
    case 4: return r.coin() ? DBL_MIN : 5e-324;
    case 5: return (double)r.below(100000) / 8;
    case 6: return std::ldexp((double)(int64_t)r.next(), r.below(200) - 160);
    default: return ((double)(int64_t)r.next() / 9.2e18) * std::pow(10.0, r.below(40) - 20);
    }
}

// Flags a conversion accepts, so that every generated format is valid.
const char *flags_for(char conv)
{
    switch (conv) {
    case 'd': case 'i': return "-+ 0";
    case 'o': case 'x': case 'X': return "-#0";
    case 'u': return "-0";
    case 'c': return "-";
    default: return "-+ #0"; // floats, and %s where they do nothing
    }
}

// Value cut as the length modifier names it.
long long cut(long long v, const std::string &mod, bool is_signed)
{
    if (mod == "hh")
        return is_signed ? (long long)(signed char)v : (long long)(unsigned char)v;
    if (mod == "h")
        return is_signed ? (long long)(short)v : (long long)(unsigned short)v;
    if (mod.empty())
        return is_signed ? (long long)(int)v : (long long)(unsigned int)v;
    return v;
}

struct Gen {
    std::string text; // the conversion
    Ty ty;
    long long iv = 0;
    double dv = 0;
    long double lv = 0;
    const char *sv = "";
    bool wstar = false, pstar = false;
    int w = 0, p = 0;
};

// One valid conversion; digits_only keeps '*' out (numbered formats).
Gen conversion(Rng &r, bool digits_only)
{
    static const char kConvs[] = "diouxXeEfFgGcs";
    char conv = kConvs[r.below((int)sizeof kConvs - 1)];
    Gen g;
    bool is_int = strchr("diouxX", conv) != nullptr;
    bool is_float = strchr("eEfFgG", conv) != nullptr;
    std::string mod;
    if (is_int) {
        static const char *const kMods[] = {"", "hh", "h", "l", "ll", "j", "z", "t"};
        mod = kMods[r.below(8)];
        g.ty = mod.empty() || mod == "hh" || mod == "h" ? TY_INT : TY_LL;
        g.iv = pick_int(r);
    } else if (is_float) {
        g.ty = r.below(4) == 0 ? TY_LDBL : TY_DBL;
        mod = g.ty == TY_LDBL ? "L" : "";
        g.dv = pick_double(r);
        g.lv = (long double)g.dv;
        if (g.ty == TY_LDBL && r.coin())
            g.lv *= powl(10.0L, (long double)(r.below(8000) - 4000));
    } else if (conv == 'c') {
        g.ty = TY_CHR;
        g.iv = r.below(255) + 1;
    } else {
        g.ty = TY_STR;
        g.sv = kStrings[r.below(6)];
    }
    std::string f = "%";
    const char *allowed = flags_for(conv);
    for (int i = r.below(5); i > 0; i--)
        f += allowed[r.below((int)strlen(allowed))];
    switch (r.below(4)) {
    case 0:
    case 1: break;
    case 2: f += std::to_string(1 + r.below(40)); break;
    default:
        if (digits_only) {
            f += std::to_string(1 + r.below(12));
        } else {
            f += "*";
            g.wstar = true;
            g.w = r.below(81) - 40;
        }
    }
    long long prec = -1; // what the conversion ends up with (-1: none)
    if (conv != 'c') {
        switch (r.below(5)) {
        case 0:
        case 1: break;
        case 2:
            f += ".";
            prec = 0;
            break;
        case 3:
            prec = is_float && r.below(4) == 0 ? 100 + r.below(400) : r.below(41);
            f += "." + std::to_string(prec);
            break;
        default:
            if (digits_only) {
                prec = r.below(20);
                f += "." + std::to_string(prec);
            } else {
                f += ".*";
                g.pstar = true;
                g.p = r.below(50) - 8;
                prec = g.p < 0 ? -1 : g.p;
            }
        }
    }
    f += mod;
    f += conv;
    if (is_int) {
        long long v = cut(g.iv, mod, conv == 'd' || conv == 'i');
        bool hash = f.find('#') != std::string::npos;
        if (v == 0 && ((prec == 0 && !(conv == 'o' && hash)) || (hash && (conv == 'x' || conv == 'X')))) {
            g.iv = 1; // the two engines differ here on purpose (see the top)
        }
    }
    g.text = f;
    return g;
}

template <class V>
void with_stars(Tally &t, const Gen &g, V v)
{
    if (g.wstar && g.pstar)
        Same(t, g.text, g.w, g.p, v);
    else if (g.wstar)
        Same(t, g.text, g.w, v);
    else if (g.pstar)
        Same(t, g.text, g.p, v);
    else
        Same(t, g.text, v);
}

void single(Tally &t, const Gen &g)
{
    switch (g.ty) {
    case TY_INT:
    case TY_CHR: with_stars(t, g, (int)g.iv); break;
    case TY_LL: with_stars(t, g, g.iv); break;
    case TY_DBL: with_stars(t, g, g.dv); break;
    case TY_LDBL: with_stars(t, g, g.lv); break;
    case TY_STR: with_stars(t, g, Str{g.sv}); break;
    }
}

// Calls Same with the arguments of gens in order, each by its type.
template <int Depth, class... A>
void chain(Tally &t, const std::string &format, const std::vector<Gen> &gens, A... acc)
{
    if constexpr (Depth == 4) {
        Same(t, format, acc...);
    } else {
        if (sizeof...(A) == gens.size()) {
            Same(t, format, acc...);
            return;
        }
        const Gen &g = gens[sizeof...(A)];
        switch (g.ty) {
        case TY_INT:
        case TY_CHR: chain<Depth + 1>(t, format, gens, acc..., (int)g.iv); break;
        case TY_LL: chain<Depth + 1>(t, format, gens, acc..., g.iv); break;
        case TY_DBL: chain<Depth + 1>(t, format, gens, acc..., g.dv); break;
        case TY_LDBL: chain<Depth + 1>(t, format, gens, acc..., g.lv); break;
        case TY_STR: chain<Depth + 1>(t, format, gens, acc..., Str{g.sv}); break;
        }
    }
}

std::string literal(Rng &r)
{
    static const char kText[] = "abc XYZ=,;:()[]\t";
    std::string s;
    for (int i = r.below(4); i > 0; i--)
        s += kText[r.below((int)sizeof kText - 1)];
    return s;
}

TEST(SafestrFormatDiff, SingleConversionsAgreeWithSnprintf)
{
    Rng r{20260801};
    Tally t;
    for (int i = 0; i < 6000; i++)
        single(t, conversion(r, false));
    EXPECT_EQ(t.compared, 6000);
    EXPECT_EQ(t.mismatches, 0);
}

TEST(SafestrFormatDiff, SeveralConversionsInOrderAndNumbered)
{
    Rng r{77};
    Tally t;
    int conversions = 0;
    for (int i = 0; i < 1500; i++) {
        bool numbered = i % 2;
        int k = 1 + r.below(4);
        std::vector<Gen> gens;
        for (int j = 0; j < k; j++)
            gens.push_back(conversion(r, true));
        // Numbered: each argument used once, in a shuffled order (glibc
        // needs every argument named to know its type).
        std::vector<int> order(k);
        for (int j = 0; j < k; j++)
            order[j] = j;
        if (numbered)
            for (int j = k - 1; j > 0; j--)
                std::swap(order[j], order[r.below(j + 1)]);
        std::string format = literal(r);
        for (int j = 0; j < k; j++) {
            std::string c = gens[order[j]].text;
            if (numbered)
                c.insert(1, std::to_string(order[j] + 1) + "$");
            format += c + literal(r);
            if (numbered && r.below(4) == 0) { // a second use of the same argument
                format += c;
                conversions++;
            }
        }
        conversions += k;
        chain<0>(t, format, gens);
    }
    EXPECT_EQ(t.compared, 1500);
    EXPECT_GT(conversions, 3500);
    EXPECT_EQ(t.mismatches, 0);
}

} // namespace
