// Validators: each one's examples and edge cases in one table, the
// lower-casing of the caller's string, and inputs built to make a
// backtracking matcher run for minutes (they must simply finish).
#include <gtest/gtest.h>
#include <string.h>
#include <string>
#include <vector>

#include <kivo/regex.h>
#include <kivo/safestr.h>
#include <kivo/valid.h>

#include "support/regex_support.h"

namespace {

typedef int (*validator)(safestr_t);

struct Row {
    validator fn;
    const char *name;
    std::string input;
    int want;
};

#define V(f) f, #f

const std::vector<Row> kRows = {
    {V(fr_valid_numeric), "12", 1},
    {V(fr_valid_numeric), "-12", 1},
    {V(fr_valid_numeric), "+0", 1},
    {V(fr_valid_numeric), "1.5", 0},
    {V(fr_valid_numeric), "", 0},
    {V(fr_valid_numeric), "12\n", 0}, // `$` is the very end
    {V(fr_valid_numeric), std::string("12\0" "x", 4), 0},
    {V(fr_valid_float), "1.5", 1},
    {V(fr_valid_float), "-3", 1},
    {V(fr_valid_float), "1.", 0},
    {V(fr_valid_float), "1.2.3", 0},
    {V(fr_valid_zip), "01234", 1},
    {V(fr_valid_zip), "1234a", 0},
    {V(fr_valid_phone), "+49.30.1234", 1},
    {V(fr_valid_phone), "030 1234", 0},
    {V(fr_valid_fax), "+1.555", 1},
    {V(fr_valid_fax), "555-1234", 0},
    {V(fr_valid_username), "john.doe_1-x", 1},
    {V(fr_valid_username), "John", 0},
    {V(fr_valid_username), "admin\n", 0},
    {V(fr_valid_password), "s3cret!", 1},
    {V(fr_valid_password), "Secret", 0},
    {V(fr_valid_password), "Secret]", 1}, // the ungrouped alternative: ends with ]
    {V(fr_valid_password), "#", 1},
    {V(fr_valid_mac), "00:1a:2B:3c:4d:5e", 1},
    {V(fr_valid_mac), "0:1:2:3:4:5", 1},
    {V(fr_valid_mac), "00:1a:2b:3c:4d", 0},
    {V(fr_valid_mac), "00:1a:2b:3c:4d:5e\n", 0},
    {V(fr_valid_ipv4_cidr), "10.0.0.0/8", 1},
    {V(fr_valid_ipv4_cidr), "192.168.1.0/24", 1},
    {V(fr_valid_ipv4_cidr), "10.0.0.0/0", 1},
    {V(fr_valid_ipv4_cidr), "10.0.0.1/32", 1},
    {V(fr_valid_ipv4_cidr), "10.0.0.0/33", 0},
    {V(fr_valid_ipv4_cidr), "10.0.0.0/39", 0},
    {V(fr_valid_ipv4_cidr), "10.0.0.0/08", 0},
    {V(fr_valid_ipv4_cidr), "10.0.0.0", 0},
    {V(fr_valid_ipv4_cidr), "01.0.0.0/8", 0},
    {V(fr_valid_host), "www.example.com", 1},
    {V(fr_valid_host), "WWW.Example.COM", 1},
    {V(fr_valid_host), "localhost", 1},
    {V(fr_valid_host), "a-b.c", 1},
    {V(fr_valid_host), "a--b.c", 0},
    {V(fr_valid_host), "-a.com", 0},
    {V(fr_valid_host), "example.com.", 0},
    {V(fr_valid_host), "under_score.com", 0},
    {V(fr_valid_domain), "example.com", 1},
    {V(fr_valid_domain), "Sub.Example.ORG", 1},
    {V(fr_valid_domain), "example", 0},
    {V(fr_valid_domain), "example.c", 0},
    {V(fr_valid_domain), "example.c0m", 0},
    {V(fr_valid_domain), "example.com\n", 0},
    {V(fr_valid_url), "http://example.com", 1},
    {V(fr_valid_url), "HTTPS://Example.com/a/b?x&y", 1},
    {V(fr_valid_url), "http://example.com/a?x=1", 0},
    {V(fr_valid_url), "ftp://files.example.com/pub", 1},
    {V(fr_valid_url), "gopher://example.com", 0},
    {V(fr_valid_url), "http://", 0},
    {V(fr_valid_url), "http://exa mple.com", 0},
    {V(fr_valid_email), "john@example.com", 1},
    {V(fr_valid_email), "John.Doe@Example.COM", 1},
    {V(fr_valid_email), "o'brien@example.ie", 1},
    {V(fr_valid_email), "a+tag@sub.example.co.uk", 1},
    {V(fr_valid_email), "user@[192.168.1.1]", 1},
    {V(fr_valid_email), "'john'@example.com", 1},
    {V(fr_valid_email), "\"john smith\"@example.com", 0},
    {V(fr_valid_email), "\"john\"@example.com", 1},
    {V(fr_valid_email), "john@example", 0},
    {V(fr_valid_email), "john@example.com.", 0},
    {V(fr_valid_email), "john@@example.com", 0},
    {V(fr_valid_email), "john@example.com\n", 0},
    {V(fr_valid_email), "@example.com", 0},
    {V(fr_valid_email), "john@-example.com", 0},
    {V(fr_valid_email), std::string(64, 'a') + "@" + std::string(186, 'b') + ".com", 1}, // 255 bytes
    {V(fr_valid_email), std::string(64, 'a') + "@" + std::string(187, 'b') + ".com", 0}, // 256 bytes
    {V(fr_valid_ipv4), "10.0.0.1", 1},
    {V(fr_valid_ipv4), "255.255.255.255", 1},
    {V(fr_valid_ipv4), "256.1.1.1", 0},
    {V(fr_valid_ipv4), "1.2.3.256", 0},
    {V(fr_valid_ipv4), "0.1.2.3", 0},
    {V(fr_valid_ipv4), "10.010.0.1", 0}, // a leading zero reads as octal elsewhere
    {V(fr_valid_ipv4), "10.0.0", 0},
    {V(fr_valid_ipv4), "10.0.0.1\n", 0},
    {V(fr_valid_bcast_addr), "192.168.1.255", 1},
    {V(fr_valid_bcast_addr), "10.255.255.255", 1},
    {V(fr_valid_bcast_addr), "10.255.1.255", 0},
    {V(fr_valid_bcast_addr), "192.168.0.255", 0},
    {V(fr_valid_bcast_addr), "0.1.1.255", 0},
    {V(fr_valid_bcast_addr), "10.1.1.256", 0},
    {V(valid_ipv4_cidr_netmask), "10.1.0.0", 1},
    {V(valid_ipv4_cidr_netmask), "254.254.254.0", 1},
    {V(valid_ipv4_cidr_netmask), "10.0.1.0", 0},
    {V(valid_ipv4_cidr_netmask), "255.255.255.0", 0},
    {V(valid_ipv4_cidr_netmask), "10.255.0.0", 0},
    {V(valid_ipv4_cidr_netmask), "0.255.0.0", 0},
    {V(is_valid_date), "12312024", 1},
    {V(is_valid_date), "02312024", 1}, // days are not checked against the month
    {V(is_valid_date), "13012024", 0},
    {V(is_valid_date), "00012024", 0},
    {V(is_valid_date), "12002024", 0},
    {V(is_valid_date), "12310000", 0},
    {V(is_valid_date), "1231202", 0},
    {V(is_valid_date), "123120245", 0},
    {V(is_valid_date), "+1+1+024", 0}, // digits only
    {V(is_valid_date), "1a312024", 0},
    {V(is_valid_time), "2359", 1},
    {V(is_valid_time), "0000", 1},
    {V(is_valid_time), "2400", 0},
    {V(is_valid_time), "2360", 0},
    {V(is_valid_time), "235", 0},
    {V(is_valid_time), " 959", 0},
    {V(fr_valid_string), "plain text\twith\nspace", 1},
    {V(fr_valid_string), "", 1},
    {V(fr_valid_string), "bell\a", 0},
    {V(fr_valid_string), std::string("a\0b", 3), 0},
};

TEST(Validators, Table) {
    for (const Row &r : kRows) {
        safestr_t s = S(r.input);
        EXPECT_EQ(r.fn(s), r.want) << r.name << "(\"" << r.input << "\")";
        safestr_free(s);
    }
    // The same on cached patterns.
    ASSERT_EQ(fr_reginit(), 0);
    for (int round = 0; round < 2; round++) {
        for (const Row &r : kRows) {
            safestr_t s = S(r.input);
            EXPECT_EQ(r.fn(s), r.want) << r.name << "(\"" << r.input << "\") cached, round " << round;
            safestr_free(s);
        }
    }
    fr_regdestroy();
}

// Null handles, plain C strings and temporary strings.
TEST(Validators, Handles) {
    validator all[] = {fr_valid_numeric, fr_valid_float, fr_valid_zip, fr_valid_phone, fr_valid_fax,
                       fr_valid_username, fr_valid_password, fr_valid_mac, fr_valid_ipv4_cidr, fr_valid_host,
                       fr_valid_domain, fr_valid_url, fr_valid_email, fr_valid_ipv4, fr_valid_bcast_addr,
                       valid_ipv4_cidr_netmask, is_valid_date, is_valid_time, fr_valid_string};
    // A plain C string with readable bytes in front, where a header would be.
    char buffer[64] = {};
    strcpy(buffer + 32, "12312024");
    const char *plain = buffer + 32;
    for (validator v : all) {
        EXPECT_EQ(v(nullptr), 0);
        EXPECT_EQ(v(reinterpret_cast<safestr_t>(plain)), 0);
    }
    EXPECT_EQ(fr_valid_email(SAFESTR_TEMP("Temp@Example.com")), 1);
    EXPECT_EQ(is_valid_date(SAFESTR_TEMP("12312024")), 1);
    EXPECT_EQ(fr_valid_ipv4(SAFESTR_TEMP("10.0.0.1")), 1);
}

// Four checks lower-case the caller's string; the e-mail check leaves an
// input of 256 bytes or more untouched; a read-only string is refused by
// the lower-casing ones.
TEST(Validators, LowerCasing) {
    struct {
        validator fn;
        const char *in, *after;
        int want;
    } cases[] = {
        {fr_valid_domain, "Example.COM", "example.com", 1},
        {fr_valid_host, "My-Host.Example.NET", "my-host.example.net", 1},
        {fr_valid_url, "HTTP://WWW.X.ORG/Path", "http://www.x.org/path", 1},
        {fr_valid_email, "John@Example.COM", "john@example.com", 1},
        {fr_valid_email, "Not An@Address", "not an@address", 0},
        {fr_valid_username, "John", "John", 0},
    };
    for (auto &c : cases) {
        safestr_t s = S(c.in);
        EXPECT_EQ(c.fn(s), c.want) << c.in;
        EXPECT_EQ(bytes(s), c.after);
        safestr_free(s);
    }
    std::string big = std::string(200, 'A') + "@" + std::string(51, 'B') + ".com"; // 256
    safestr_t s = S(big);
    EXPECT_EQ(fr_valid_email(s), 0);
    EXPECT_EQ(bytes(s), big);
    safestr_free(s);
    safestr_t ro = S("Example.COM");
    safestr_makereadonly(ro);
    EXPECT_EQ(fr_valid_domain(ro), 0);
    EXPECT_EQ(bytes(ro), "Example.COM");
    safestr_free(ro);
}

// Inputs that send a backtracking matcher down exponentially many paths,
// up to the length limits. Each validator must come back (the answer is
// whatever the limits give: a match cut short is "not valid").
TEST(Validators, AdversarialInputsFinish) {
    std::vector<std::pair<validator, std::string>> evil = {
        {fr_valid_email, std::string(240, 'a') + "!"},
        {fr_valid_email, std::string(120, 'a') + "@" + std::string(120, 'a') + "!"},
        {fr_valid_email, "a@" + std::string(240, '-') + "!"},
        {fr_valid_email, std::string(80, '[') + std::string(80, '@') + "!"},
        {fr_valid_email, "\"" + std::string(200, '[') + "\"]\"!"},
        {fr_valid_email, "a@" + std::string(200, 'a') + "-!"},
        {fr_valid_host, std::string(4000, 'a') + "!"},
        {fr_valid_host, std::string(2000, 'a') + "." + std::string(2000, 'a') + "-"},
        {fr_valid_domain, std::string(4000, 'a') + "!"},
        {fr_valid_url, "http://" + std::string(4000, 'a') + " "},
        {fr_valid_url, "http://a" + std::string(2000, ':') + "!"},
        {fr_valid_username, std::string(100000, 'a') + "!"},
        {fr_valid_phone, std::string(100000, '1') + "x"},
        {fr_valid_password, std::string(100000, 'A')},
    };
    ASSERT_EQ(fr_reginit(), 0);
    for (auto &e : evil) {
        safestr_t s = S(e.second);
        int r = e.first(s);
        EXPECT_TRUE(r == 0 || r == 1);
        safestr_free(s);
    }
    fr_regdestroy();
}

} // namespace
