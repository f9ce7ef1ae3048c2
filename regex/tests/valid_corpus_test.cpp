// Validators against an independent verdict: a few hundred inputs per
// validator (valid ones, near misses, mutations, inputs at the length limit
// and one byte over), each judged by the library and by pcre2test running
// the same pattern with the same options (Python's ipaddress for the
// dotted quad). The patterns below are written out here on their own, so
// a slip in the library's copy shows up as disagreement.
#include <gtest/gtest.h>
#include <algorithm>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <kivo/regex.h>
#include <kivo/safestr.h>
#include <kivo/valid.h>

#include "support/regex_support.h"

namespace {

#include "../src/email_pattern.h"

struct Subject {
    const char *name;
    int (*fn)(safestr_t);
    const char *pattern;
    bool lower;       // the validator lower-cases first
    size_t limit;     // inputs of this many bytes or more are refused (0: none)
    std::vector<std::string> seeds;
};

const std::vector<Subject> &subjects() {
    static const std::vector<Subject> all = {
        {"fr_valid_numeric", fr_valid_numeric, R"re(^[+-]?[0-9]+$)re", false, 0,
         {"0", "12", "-7", "+42", "1e5", "--1", "12 ", " 12", "+", "٣"}},
        {"fr_valid_float", fr_valid_float, R"re(^[+-]?[0-9]+(\.[0-9]+){0,1}$)re", false, 0,
         {"1.5", "-0.25", "+3", "1.", ".5", "1,5", "1.2.3", "NaN"}},
        {"fr_valid_zip", fr_valid_zip, R"re(^[0-9]+$)re", false, 0, {"10115", "0", "1011a", "D-10115"}},
        {"fr_valid_phone", fr_valid_phone, R"re(^([\+\.0-9])+$)re", false, 0,
         {"+49.30.123456", "030123", "(030) 123", "+1-555-1234"}},
        {"fr_valid_fax", fr_valid_fax, R"re(^([\+\.0-9])+$)re", false, 0, {"+44.20.7946", "0800", "fax:1"}},
        {"fr_valid_username", fr_valid_username, R"re(^([a-z0-9_.-])+$)re", false, 0,
         {"john", "j.doe-1_x", "John", "jo hn", "root:0", "über"}},
        {"fr_valid_password", fr_valid_password,
         R"re(^[a-z0-9\!@#$%\^&\*\(\)_\+={}~`\[;:\'\"\|,<.>\?/-]|\]$)re", false, 0,
         {"s3cr3t", "Secret", "Secret]", "]", " x", "!x", "\\x"}},
        {"fr_valid_mac", fr_valid_mac, R"re(^([0-9a-fA-F]{1,2}(:[0-9a-fA-F]{1,2}){5})$)re", false, 0,
         {"00:1A:2b:3C:4d:5E", "0:1:2:3:4:5", "00-1a-2b-3c-4d-5e", "00:1a:2b:3c:4d:5e:6f", "001a.2b3c.4d5e"}},
        {"fr_valid_ipv4_cidr", fr_valid_ipv4_cidr,
         R"re(^((([1-9]([0-9]){0,2}\.)(([0-9]){1,3}\.){2}([0-9]){1,3})\/([0-9]|[12][0-9]|3[0-2]))$)re", false, 0,
         {"10.0.0.0/8", "192.168.0.0/16", "1.2.3.4/0", "1.2.3.4/32", "1.2.3.4/33", "1.2.3.4/39", "0.1.2.3/8",
          "1.2.3/8", "1.2.3.4/"}},
        {"fr_valid_host", fr_valid_host, R"re(^([a-z0-9]([-]?[a-z0-9])*(\.)?)+[a-z0-9]([-]?[a-z0-9])*$)re", true,
         0, {"www.example.com", "Mail-1.Example.ORG", "localhost", "a..b", "-x.com", "x-.com", "x.com.", "xn--bcher-kva.de"}},
        {"fr_valid_domain", fr_valid_domain, R"re(^([a-z0-9]([-]?[a-z0-9])*\.)+[a-z]{2,32}$)re", true, 0,
         {"example.com", "Sub.Example.Museum", "example", "example.c", "ex_ample.com", "example.com.",
          "a.bcdefghijklmnopqrstuvwxyzabcdefgh"}},
        {"fr_valid_url", fr_valid_url,
         R"re(^(ht|f)tp(s?)\:\/\/[0-9a-z]([-.\w]*[0-9a-z])*(:(0-9)*)*(\/?)([a-z0-9\-\.\?\,\'\/\\\+&amp;%\$#_]*)?$)re",
         true, 0,
         {"http://example.com", "https://Example.com/a/b.html", "ftp://ftp.example.org/pub/", "http://x.com:8080/",
          "http://x.com:0-9/", "mailto:a@b.c", "http://exa mple.com", "https://x.org/a?b&c%20d#frag"}},
        {"fr_valid_email", fr_valid_email,
         "^(((" EMAIL_P1 ")|(" EMAIL_P2 ")|" EMAIL_Q "))@((" EMAIL_H ")|(" EMAIL_A "))$", true, 256,
         {"john@example.com", "John.Doe@Example.COM", "o'brien@example.ie", "a+b@c.co.uk", "user@[10.0.0.1]",
          "user@[010.0.0.1]", "\"quoted\"@example.com", "\"qu oted\"@example.com", "\"a[\"]b\"@x.org",
          "'john'@example.com", "a..b@example.com", ".a@example.com", "a.@example.com", "a@b", "a@b.",
          "a@-b.com", "a@b-.com", "a@b--c.com", "@example.com", "a@@example.com", "a@example..com",
          "x[@,[\"]y.z@example.com", "a b@example.com", "mañana@example.com"}},
    };
    return all;
}

// Deterministic mutations of the seeds: inserted, deleted and changed
// bytes, case flips, trailing newline and dot, doubled parts.
std::vector<std::string> corpus(const Subject &sub, unsigned seed) {
    std::vector<std::string> out(sub.seeds);
    std::mt19937 rng(seed);
    const std::string alphabet = "aZ09.-_@+:/[]\"'!#%&*=?^`{|}~, \t\n\\()<>;$\xe9\x80";
    for (const std::string &s : sub.seeds) {
        out.push_back(s + "\n");
        out.push_back(s + ".");
        out.push_back("\n" + s);
        out.push_back(s + s);
        std::string up = s;
        for (char &c : up)
            c = char(toupper(static_cast<unsigned char>(c)));
        out.push_back(up);
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    while (out.size() < 300) {
        std::string s = sub.seeds[rng() % sub.seeds.size()];
        int edits = 1 + int(rng() % 3);
        for (int e = 0; e < edits; e++) {
            size_t at = s.empty() ? 0 : rng() % (s.size() + 1);
            char c = alphabet[rng() % alphabet.size()];
            switch (rng() % 3) {
            case 0:
                s.insert(s.begin() + long(at), c);
                break;
            case 1:
                if (at < s.size())
                    s.erase(at, 1);
                break;
            default:
                if (at < s.size())
                    s[at] = c;
                break;
            }
        }
        if (!s.empty() && std::find(out.begin(), out.end(), s) == out.end())
            out.push_back(s);
    }
    if (sub.limit) {
        // At the limit and one byte over: plain and quoted local parts, long domains.
        for (size_t len : {sub.limit - 2, sub.limit - 1, sub.limit, sub.limit + 1}) {
            std::string tail = "@example.com";
            out.push_back(std::string(len - tail.size(), 'a') + tail);
            out.push_back("\"" + std::string(len - tail.size() - 2, 'q') + "\"" + tail);
            out.push_back("x@" + std::string(len - 6, 'd') + ".com");
        }
    } else {
        out.push_back(std::string(255, '1'));
        out.push_back(std::string(4096, 'a'));
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    out.erase(std::remove(out.begin(), out.end(), std::string()), out.end());
    return out;
}

std::string lowered(std::string s) {
    for (char &c : s)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    return s;
}

// pcre2test's verdicts (1 match, 0 no match, -1 failed) for every subject.
std::vector<int> pcre2test_verdicts(const std::string &pattern, const std::vector<std::string> &inputs) {
    // A delimiter the pattern does not hold, else '/' escaped where it
    // stands on its own (an escaped punctuation character means itself).
    const std::string delims = "/!;<>%#~,@=&:|'\"";
    char delim = '/';
    std::string body = pattern;
    bool found = false;
    for (char d : delims)
        if (pattern.find(d) == std::string::npos) {
            delim = d;
            found = true;
            break;
        }
    if (!found) {
        body.clear();
        for (size_t i = 0; i < pattern.size(); i++) {
            if (pattern[i] == '\\' && i + 1 < pattern.size()) {
                body += pattern[i];
                body += pattern[++i];
            } else if (pattern[i] == '/') {
                body += "\\/";
            } else {
                body += pattern[i];
            }
        }
    }
    std::string script = std::string(1, delim) + body + delim + "dollar_endonly\n";
    for (const std::string &in : inputs) {
        for (unsigned char c : in) {
            char buf[8];
            snprintf(buf, sizeof buf, "\\x%02x", c);
            script += buf;
        }
        script += "\n";
    }
    std::string out = run_judge("pcre2test -q", script);
    std::vector<int> v;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind(" 0:", 0) == 0)
            v.push_back(1);
        else if (line.rfind("No match", 0) == 0)
            v.push_back(0);
        else if (line.rfind("Failed:", 0) == 0)
            v.push_back(-1);
        else if (line.find("error") != std::string::npos)
            ADD_FAILURE() << "pcre2test: " << line;
    }
    return v;
}

TEST(ValidatorCorpus, AgreesWithPcre2test) {
    ASSERT_EQ(fr_reginit(), 0);
    int total = 0, accepted = 0;
    for (const Subject &sub : subjects()) {
        std::vector<std::string> inputs = corpus(sub, 17);
        std::vector<std::string> judged_inputs;
        for (auto &in : inputs)
            judged_inputs.push_back(sub.lower ? lowered(in) : in);
        std::vector<int> verdicts = pcre2test_verdicts(sub.pattern, judged_inputs);
        ASSERT_EQ(verdicts.size(), inputs.size()) << sub.name;
        int agree = 0, valid = 0;
        for (size_t i = 0; i < inputs.size(); i++) {
            int want = verdicts[i] == 1 ? 1 : 0;
            if (sub.limit && inputs[i].size() >= sub.limit)
                want = 0; // refused before matching
            safestr_t s = S(inputs[i]);
            int got = sub.fn(s);
            EXPECT_EQ(got, want) << sub.name << "(\"" << inputs[i] << "\"), pcre2test says " << verdicts[i];
            if (sub.lower && (!sub.limit || inputs[i].size() < sub.limit)) {
                EXPECT_EQ(bytes(s), lowered(inputs[i])) << sub.name;
            }
            agree += got == want;
            valid += got;
            safestr_free(s);
        }
        // Both kinds of input took part.
        EXPECT_GT(valid, 5) << sub.name;
        EXPECT_GT(int(inputs.size()) - valid, 5) << sub.name;
        EXPECT_GE(inputs.size(), 250u) << sub.name;
        total += int(inputs.size());
        accepted += valid;
        RecordProperty(sub.name, std::to_string(agree) + "/" + std::to_string(inputs.size()));
    }
    fr_regdestroy();
    printf("%d inputs, %d valid\n", total, accepted);
}

// The dotted quad against Python's ipaddress, which refuses leading zeros
// and parts above 255; the first part must not start with 0 here.
TEST(ValidatorCorpus, Ipv4AgreesWithPythonIpaddress) {
    std::vector<std::string> inputs = {"10.0.0.1", "255.255.255.255", "256.1.1.1", "1.2.3.4", "0.0.0.0"};
    std::mt19937 rng(5);
    const char *parts[] = {"0", "1", "9", "10", "01", "010", "99", "100", "199", "200", "249", "250", "255",
                           "256", "299", "300", "999", "1000", "", "a", "-1", "+1", " 1"};
    while (inputs.size() < 400) {
        std::string s;
        int n = rng() % 10 < 8 ? 4 : 3 + int(rng() % 3);
        for (int i = 0; i < n; i++)
            s += (i ? "." : "") + std::string(parts[rng() % (sizeof parts / sizeof *parts)]);
        if (rng() % 20 == 0)
            s += "\n";
        inputs.push_back(s);
    }
    std::string script =
        "import ipaddress,sys\n"
        "for line in sys.stdin:\n"
        "    s=bytes.fromhex(line.strip()).decode('latin-1')\n"
        "    try:\n"
        "        ipaddress.IPv4Address(s); ok=all(p.isascii() and p.isdigit() for p in s.split('.')) and not s.startswith('0')\n"
        "    except ValueError:\n"
        "        ok=False\n"
        "    print(1 if ok else 0)\n";
    std::string in;
    for (auto &s : inputs)
        in += hex(s) + "\n";
    std::string out = run_judge("/usr/bin/python3 -c \"" + script + "\"", in);
    std::istringstream lines(out);
    int valid = 0;
    for (auto &s : inputs) {
        std::string v;
        ASSERT_TRUE(std::getline(lines, v));
        safestr_t ss = S(s);
        int got = fr_valid_ipv4(ss);
        EXPECT_EQ(got, std::stoi(v)) << "fr_valid_ipv4(\"" << s << "\")";
        valid += got;
        safestr_free(ss);
    }
    EXPECT_GT(valid, 10);
}

} // namespace
