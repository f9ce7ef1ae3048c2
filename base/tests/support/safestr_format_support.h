// Helpers of the format tests: run a call inside a protected block, format
// into a std::string, make argument strings.
#ifndef KIVO_TEST_SAFESTR_FORMAT_SUPPORT_H
#define KIVO_TEST_SAFESTR_FORMAT_SUPPORT_H

#include <gtest/gtest.h>

#include <string>

#include <kivo/exceptions.h>
#include <kivo/safestr.h>

namespace fmt_test {

struct [[nodiscard]] Thrown {
    int code; // 0 when nothing was thrown
    void *data;
    const char *file;
};

// Runs fn in a protected block and reports what it threw.
template <class Fn>
Thrown Guarded(Fn &&fn)
{
    volatile int code = 0;
    void *volatile data = nullptr;
    const char *volatile file = nullptr;
    XXL_BLOCK {
        fn();
    }
    XXL_ON_ANY {
        code = xxl_current_error_code();
        data = xxl_current_error_data();
        file = xxl_current_error_file();
    }
    XXL_BLOCK_END;
    return Thrown{code, data, file};
}

// Temporary argument strings, freed by the call that takes them.
inline safestr_t T(const char *text)
{
    return SAFESTR_TEMP(text);
}
inline safestr_t TT(const char *text)
{
    return SAFESTR_TEMP_TRUSTED(text);
}

// The text safestr_asprintf makes of format and args; a throw fails the test.
template <class... A>
std::string F(const char *format, A... args)
{
    std::string r;
    Thrown t = Guarded([&] {
        safestr_t out = nullptr;
        int n = safestr_asprintf(&out, T(format), args...);
        r.assign(out, safestr_length(out));
        EXPECT_EQ((size_t)n, r.size()) << format;
        safestr_free(out);
    });
    EXPECT_EQ(t.code, 0) << "format " << format;
    return r;
}

template <class... A>
Thrown Throws(const char *format, A... args)
{
    return Guarded([&] {
        safestr_t out = nullptr;
        safestr_asprintf(&out, T(format), args...);
        ADD_FAILURE() << "no exception from " << format;
        safestr_free(out);
    });
}

template <class... A>
int Code(const char *format, A... args)
{
    return Throws(format, args...).code;
}

} // namespace fmt_test

#endif
