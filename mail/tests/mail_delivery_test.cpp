// Delivery of built messages: through a real MTA (msmtp, pointed at the
// fixture's SMTP server) and through SMTP directly, each parsed back by
// Python's email parser; the MTA command parser seen from the program it
// starts; MTA and SMTP failures, and what they leave behind.
#include <gtest/gtest.h>
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <kivo/mail.h>
#include <kivo/smtp.h>
#include "support/mail_peer.h"

namespace {

struct Mail {
    fr_mail_t *m = fr_mail_init();
    ~Mail() { fr_mail_destroy(m); }
    operator fr_mail_t *() const { return m; }
};

std::string tools() {
    const char *t = getenv("KIVO_MAIL_TOOLS");
    return t ? t : "";
}

std::string temp_file(const std::string &data) {
    char name[] = "/tmp/kivo-att-XXXXXX";
    int fd = mkstemp(name);
    if (fd >= 0) close(fd);
    peer::write_file(name, data);
    return name;
}

// Names of /tmp entries that a direct send could leave ("eml...").
std::vector<std::string> eml_files() {
    std::vector<std::string> out;
    DIR *d = opendir("/tmp");
    while (struct dirent *e = d ? readdir(d) : nullptr)
        if (strncmp(e->d_name, "eml", 3) == 0) out.push_back(e->d_name);
    if (d) closedir(d);
    return out;
}

int open_fds() {
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    while (d && readdir(d)) n++;
    if (d) closedir(d);
    return n;
}

// A message with every part: UTF-8 names and subject, an HTML body with a
// plain alternative, a binary attachment with zero bytes and an inline one.
struct FullMessage {
    std::string token = peer::token("full");
    std::string binary, att_bin, att_csv;
    std::string subject = "Grüße – " + token;
    FullMessage(fr_mail_t *m, size_t binary_size = 3000) {
        for (size_t i = 0; i < binary_size; i++) binary += static_cast<char>((i * 131 + i / 7) % 256);
        att_bin = temp_file(binary);
        att_csv = temp_file("id,name\r\n1,Jürgen\r\n");
        fr_mail_add_from(m, "Zoë Sender", "sender@kivo.test");
        fr_mail_add_to(m, "\"Ann, Example\" <ann@kivo.test>, bob@kivo.test");
        fr_mail_add_cc(m, "carol@kivo.test");
        fr_mail_add_bcc(m, "dave@kivo.test");
        fr_mail_add_subject(m, "%s", subject.c_str());
        fr_mail_set_encoding(m, 1);
        fr_mail_add_body(m, "<p>Hällo %s</p>", token.c_str());
        fr_mail_add_altbody(m, "Hällo %s", token.c_str());
        fr_mail_att_t *a = fr_mail_add_att(m, att_bin.c_str());
        fr_mail_att_set_contenttype(a, "application/octet-stream");
        fr_mail_att_t *b = fr_mail_add_att(m, att_csv.c_str());
        fr_mail_att_set_contenttype(b, "text/csv");
        fr_mail_att_enable_inline(b, 1);
    }
    ~FullMessage() {
        unlink(att_bin.c_str());
        unlink(att_csv.c_str());
    }
    // Checks a delivered copy as Python reads it.
    void check(const peer::Stored &s) const {
        peer::Parsed r = peer::parse_file(s.eml_path);
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(subject, r.header("Subject"));
        EXPECT_EQ("<none>", r.header("Bcc"));  // envelope only
        ASSERT_GE(r.addrs.size(), 4u);
        EXPECT_EQ("Zoë Sender", r.addrs[0][1]);
        EXPECT_EQ("ann@kivo.test", r.addrs[1][2]);
        EXPECT_EQ("bob@kivo.test", r.addrs[2][2]);
        EXPECT_EQ("carol@kivo.test", r.addrs[3][2]);
        auto part = [&](const char *p) { return r.part(p) ? *r.part(p) : peer::Part{}; };
        EXPECT_EQ("multipart/mixed", part("0").type);
        EXPECT_EQ("multipart/alternative", part("0.0").type);
        EXPECT_EQ("text/plain", part("0.0.0").type);
        EXPECT_EQ("text/html", part("0.0.1").type);
        EXPECT_EQ(0u, part("0.0.0").payload.rfind("Hällo " + token, 0));
        EXPECT_EQ(0u, part("0.0.1").payload.rfind("<p>Hällo " + token + "</p>", 0));
        EXPECT_EQ("application/octet-stream", part("0.1").type);
        EXPECT_TRUE(part("0.1").payload == binary) << part("0.1").payload.size() << " vs " << binary.size();
        EXPECT_EQ("text/csv", part("0.2").type);
        EXPECT_EQ("inline", part("0.2").disposition);
        EXPECT_EQ("<2>", part("0.2").content_id);
        EXPECT_EQ("id,name\r\n1,Jürgen\r\n", part("0.2").payload);
        EXPECT_EQ(nullptr, r.part("0.3"));
    }
};

TEST(MailDelivery, ThroughMsmtp) {
    Mail m;
    FullMessage full(m);
    std::string cmd = "/usr/bin/msmtp -t -C " + peer::state() + "/msmtprc";
    ASSERT_EQ(0, fr_mail_set_mta(m, cmd.c_str()));
    ASSERT_EQ(0, fr_mail_send(m));
    std::vector<peer::Stored> got = peer::find(full.token);
    ASSERT_EQ(1u, got.size());
    // msmtp takes the recipients from the headers, Bcc included.
    EXPECT_EQ("[\"ann@kivo.test\", \"bob@kivo.test\", \"carol@kivo.test\", \"dave@kivo.test\"]",
              peer::json_field(got[0].meta, "rcpt_tos"));
    full.check(got[0]);
}

TEST(MailDelivery, ThroughSmtp) {
    for (const char *instance : {"notls", "main"}) {
        SCOPED_TRACE(instance);
        Mail m;
        FullMessage full(m);
        fr_mail_add_retpath(m, "bounces@kivo.test");
        fr_smtp_t *smtp = fr_smtp_init();
        fr_smtp_set_host(smtp, peer::host(instance).c_str());
        fr_smtp_enable_tls(smtp, std::string(instance) == "main", 0);
        std::vector<std::string> before = eml_files();
        int fds = open_fds();
        EXPECT_EQ(0, fr_mail_send_direct(m, smtp));
        EXPECT_EQ(before, eml_files());
        EXPECT_EQ(fds, open_fds());
        fr_smtp_destroy(smtp);
        std::vector<peer::Stored> got = peer::find(full.token);
        ASSERT_EQ(1u, got.size());
        EXPECT_EQ("bounces@kivo.test", peer::json_field(got[0].meta, "mail_from"));
        EXPECT_EQ("[\"ann@kivo.test\", \"bob@kivo.test\", \"carol@kivo.test\", \"dave@kivo.test\"]",
                  peer::json_field(got[0].meta, "rcpt_tos"));
        full.check(got[0]);
    }
}

// One SMTP record for several messages: after a failed send the next one
// goes to each recipient once, and a record whose message went out has no
// stream left for a send of its own.
TEST(MailDelivery, SmtpRecordCarriesTheNextMessage) {
    Mail m;
    FullMessage full(m);
    fr_smtp_t *smtp = fr_smtp_init();
    fr_smtp_set_host(smtp, peer::host("drop").c_str());
    EXPECT_EQ(-1, fr_mail_send_direct(m, smtp));
    fr_smtp_set_host(smtp, peer::host("notls").c_str());
    EXPECT_EQ(0, fr_mail_send_direct(m, smtp));
    EXPECT_EQ(0, fr_mail_send_direct(m, smtp));
    {
        LogRecorder log;
        EXPECT_EQ(-1, fr_smtp_send_message(smtp));
        std::vector<std::string> lines = log.from("smtp");
        ASSERT_EQ(1u, lines.size());
        EXPECT_NE(std::string::npos, lines[0].find(":conditional return")) << lines[0];
    }
    fr_smtp_destroy(smtp);
    std::vector<peer::Stored> got = peer::find(full.token);
    ASSERT_EQ(2u, got.size());
    for (const peer::Stored &g : got) {
        EXPECT_EQ("[\"ann@kivo.test\", \"bob@kivo.test\", \"carol@kivo.test\", \"dave@kivo.test\"]",
                  peer::json_field(g.meta, "rcpt_tos"));
        full.check(g);
    }
}

TEST(MailDelivery, LargeAttachmentArrivesWhole) {
    Mail m;
    FullMessage full(m, 5 << 20);
    fr_smtp_t *smtp = fr_smtp_init();
    fr_smtp_set_host(smtp, peer::host("notls").c_str());
    EXPECT_EQ(0, fr_mail_send_direct(m, smtp));
    fr_smtp_destroy(smtp);
    std::vector<peer::Stored> got = peer::find(full.token);
    ASSERT_EQ(1u, got.size());
    full.check(got[0]);
}

// SMTP failures: -1, nothing stored, no temporary file, no descriptor.
TEST(MailDelivery, SmtpFailuresLeaveNothingBehind) {
    for (const char *instance : {"drop", "middata", "garbage"}) {
        SCOPED_TRACE(instance);
        Mail m;
        std::string tok = peer::token("fail");
        fr_mail_add_from(m, nullptr, "s@kivo.test");
        fr_mail_add_to(m, "t@kivo.test");
        fr_mail_add_subject(m, "%s", tok.c_str());
        fr_mail_add_body(m, "body");
        fr_smtp_t *smtp = fr_smtp_init();
        fr_smtp_set_host(smtp, peer::host(instance).c_str());
        std::vector<std::string> before = eml_files();
        int fds = open_fds();
        LogRecorder log;
        EXPECT_EQ(-1, fr_mail_send_direct(m, smtp));
        EXPECT_EQ(before, eml_files());
        EXPECT_EQ(fds, open_fds());
        EXPECT_EQ(1u, log.starting("SMTP server error: ").size() + log.starting("Transfer status: ").size());
        fr_smtp_destroy(smtp);
        EXPECT_TRUE(peer::find(tok).empty());
    }
    // A message that cannot be built is not sent at all.
    Mail m;
    std::string tok = peer::token("nobuild");
    fr_mail_add_from(m, nullptr, "s@kivo.test");
    fr_mail_add_to(m, "t@kivo.test");
    fr_mail_add_subject(m, "%s", tok.c_str());
    fr_mail_add_att(m, "/nonexistent/kivo-attachment");
    fr_smtp_t *smtp = fr_smtp_init();
    fr_smtp_set_host(smtp, peer::host("notls").c_str());
    LogRecorder log;
    EXPECT_EQ(-1, fr_mail_send_direct(m, smtp));
    EXPECT_TRUE(log.starting("Transfer status").empty());
    fr_smtp_destroy(smtp);
    EXPECT_TRUE(peer::find(tok).empty());
}

// The MTA command line as the started program sees it.
TEST(MailDelivery, MtaCommandLine) {
    std::string dump = tools() + "/argv_dump.sh";
    char out[] = "/tmp/kivo-argv-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(out));
    std::string base = std::string(out) + "/run";
    setenv("KIVO_ARGV_DUMP", base.c_str(), 1);
    std::string thirty;
    for (int i = 1; i <= 32; i++) thirty += " a" + std::to_string(i);
    struct Case {
        std::string command;
        int rc;
        std::vector<std::string> args;  // $0 (the path run) and the arguments
    } cases[] = {
        {dump + " -oi -t", 0, {dump, "-oi", "-t"}},
        {"  " + dump + "\t-f  x@y\t", 0, {dump, "-f", "x@y"}},
        {dump + " 'a b' \"c d\" e'f g'h \"it's\"", 0, {dump, "'a b'", "\"c d\"", "e'f g'h", "\"it's\""}},
        {dump + thirty, 0, {}},
        {dump + " \"unbalanced", -1, {}},
        {dump + " it's", -1, {}},
        {"argv_dump.sh -t", -1, {}},
        {"/usr/bin/", -1, {}},
        {"", -1, {}},
        {"   ", -1, {}},
    };
    for (Case &c : cases) {
        SCOPED_TRACE(c.command);
        if (c.command == dump + thirty) {
            c.args.push_back(dump);
            for (int i = 1; i <= 30; i++) c.args.push_back("a" + std::to_string(i));
        }
        Mail m;
        fr_mail_add_from(m, nullptr, "s@kivo.test");
        fr_mail_add_to(m, "t@kivo.test");
        fr_mail_add_body(m, "mta body");
        EXPECT_EQ(c.rc, fr_mail_set_mta(m, c.command.c_str()));
        if (c.rc != 0) continue;
        unlink((base + ".args").c_str());
        EXPECT_EQ(0, fr_mail_send(m));
        std::string got = peer::read_file(base + ".args");
        std::string want;
        for (const std::string &a : c.args) want += a + "\n";
        EXPECT_EQ(want, got);
        std::string in = peer::read_file(base + ".stdin");
        EXPECT_NE(std::string::npos, in.find("\r\n\r\n\r\nmta body"));
    }
    Mail m;
    EXPECT_EQ(-1, fr_mail_set_mta(m, nullptr));
    // Exit status, missing program, signal, a message that cannot be built.
    fr_mail_add_from(m, nullptr, "s@kivo.test");
    fr_mail_add_to(m, "t@kivo.test");
    fr_mail_add_body(m, "x");
    ASSERT_EQ(0, fr_mail_set_mta(m, (dump + " -t").c_str()));
    setenv("KIVO_ARGV_EXIT", "75", 1);
    EXPECT_EQ(75, fr_mail_send(m));
    unsetenv("KIVO_ARGV_EXIT");
    ASSERT_EQ(0, fr_mail_set_mta(m, "/nonexistent/kivo/sendmail -t"));
    EXPECT_EQ(1, fr_mail_send(m));
    std::string killer = temp_file("#!/bin/sh\nkill -TERM $$\n");
    chmod(killer.c_str(), 0700);
    ASSERT_EQ(0, fr_mail_set_mta(m, killer.c_str()));
    EXPECT_EQ(15, fr_mail_send(m));
    unlink(killer.c_str());
    ASSERT_EQ(0, fr_mail_set_mta(m, (dump + " -t").c_str()));
    unlink((base + ".stdin").c_str());
    fr_mail_add_att(m, "/nonexistent/kivo-attachment");
    int fds = open_fds();
    EXPECT_EQ(-1, fr_mail_send(m));
    EXPECT_EQ(fds, open_fds());
    // The MTA was stopped before it could take the half message as whole.
    EXPECT_EQ("", peer::read_file(base + ".stdin"));
    unsetenv("KIVO_ARGV_DUMP");
    std::string rm = std::string("rm -rf ") + out;
    ASSERT_EQ(0, system(rm.c_str()));
}

// A big message into an MTA that reads nothing and exits: a failure, and
// this process survives the broken pipe.
TEST(MailDelivery, MtaThatStopsReadingIsAFailure) {
    Mail m;
    std::string big = temp_file(std::string(1 << 20, 'z'));
    fr_mail_add_from(m, nullptr, "s@kivo.test");
    fr_mail_add_to(m, "t@kivo.test");
    fr_mail_add_att(m, big.c_str());
    ASSERT_EQ(0, fr_mail_set_mta(m, "/bin/true"));
    EXPECT_EQ(-1, fr_mail_send(m));
    unlink(big.c_str());
}

}  // namespace
