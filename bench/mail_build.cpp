// Building a message (text body, HTML alternative, one attachment) and
// writing it to /dev/null: kivo's fr_mail_build against GMime's build and
// g_mime_object_write_to_stream, attachment base64-encoded by both.
//
//   KIVO_MAIL_PEAK=<MiB> bench_mail_build   builds one message with an
//   attachment of that size and exits, for peak-memory readings
//   (/usr/bin/time -v) at two sizes.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <unistd.h>

#include <benchmark/benchmark.h>
#include <gmime/gmime.h>
#include <kivo/mail.h>

namespace {

const char *kText = "Hello,\r\n\r\nyour statement for December is attached.\r\n\r\nRegards\r\n";
const char *kHtml = "<html><body><p>Hello,</p><p>your statement for December is attached.</p></body></html>";

std::string make_attachment(size_t mib) {
    char path[] = "/tmp/kivo_bench_att_XXXXXX";
    int fd = mkstemp(path);
    std::string block(1 << 20, '\0');
    for (size_t i = 0; i < block.size(); i++) block[i] = static_cast<char>((i * 2654435761u) >> 13);
    for (size_t i = 0; i < mib; i++)
        if (write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size())) abort();
    close(fd);
    return path;
}

int kivo_build(const char *att, FILE *out) {
    fr_mail_t *m = fr_mail_init();
    fr_mail_add_from(m, "Sender", "sender@kivo.test");
    fr_mail_add_to(m, "rcpt@kivo.test");
    fr_mail_add_subject(m, "Statement");
    fr_mail_set_encoding(m, FR_MAIL_ENC_QP);
    fr_mail_add_body(m, "%s", kHtml);
    fr_mail_add_altbody(m, "%s", kText);
    fr_mail_att_t *a = fr_mail_add_att(m, att);
    fr_mail_att_set_contenttype(a, "application/octet-stream");
    int rc = fr_mail_build(m, out);
    fr_mail_destroy(m);
    return rc;
}

void gmime_build(const char *att, GMimeStream *out) {
    GMimeMessage *msg = g_mime_message_new(TRUE);
    g_mime_message_add_mailbox(msg, GMIME_ADDRESS_TYPE_FROM, "Sender", "sender@kivo.test");
    g_mime_message_add_mailbox(msg, GMIME_ADDRESS_TYPE_TO, nullptr, "rcpt@kivo.test");
    g_mime_message_set_subject(msg, "Statement", "utf-8");
    GMimeMultipart *alt = g_mime_multipart_new_with_subtype("alternative");
    GMimeTextPart *text = g_mime_text_part_new_with_subtype("plain");
    g_mime_text_part_set_text(text, kText);
    g_mime_part_set_content_encoding(GMIME_PART(text), GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE);
    GMimeTextPart *html = g_mime_text_part_new_with_subtype("html");
    g_mime_text_part_set_text(html, kHtml);
    g_mime_part_set_content_encoding(GMIME_PART(html), GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE);
    g_mime_multipart_add(alt, GMIME_OBJECT(text));
    g_mime_multipart_add(alt, GMIME_OBJECT(html));
    GMimeMultipart *mixed = g_mime_multipart_new_with_subtype("mixed");
    g_mime_multipart_add(mixed, GMIME_OBJECT(alt));
    GMimePart *part = g_mime_part_new_with_type("application", "octet-stream");
    g_mime_part_set_filename(part, att);
    GMimeStream *fs = g_mime_stream_fs_open(att, O_RDONLY, 0, nullptr);
    GMimeDataWrapper *content = g_mime_data_wrapper_new_with_stream(fs, GMIME_CONTENT_ENCODING_DEFAULT);
    g_mime_part_set_content(part, content);
    g_mime_part_set_content_encoding(part, GMIME_CONTENT_ENCODING_BASE64);
    g_mime_multipart_add(mixed, GMIME_OBJECT(part));
    g_mime_message_set_mime_part(msg, GMIME_OBJECT(mixed));
    g_mime_object_write_to_stream(GMIME_OBJECT(msg), nullptr, out);
    g_object_unref(content);
    g_object_unref(fs);
    g_object_unref(part);
    g_object_unref(text);
    g_object_unref(html);
    g_object_unref(alt);
    g_object_unref(mixed);
    g_object_unref(msg);
}

void bm_kivo_build(benchmark::State &st) {
    std::string att = make_attachment(static_cast<size_t>(st.range(0)));
    FILE *out = fopen("/dev/null", "w");
    for (auto _ : st)
        if (kivo_build(att.c_str(), out) != 0) st.SkipWithError("build failed");
    fclose(out);
    unlink(att.c_str());
    st.SetBytesProcessed(st.iterations() * st.range(0) * (1 << 20));
}
BENCHMARK(bm_kivo_build)->Arg(10)->Unit(benchmark::kMillisecond);

void bm_gmime_build(benchmark::State &st) {
    g_mime_init();
    std::string att = make_attachment(static_cast<size_t>(st.range(0)));
    GMimeStream *out = g_mime_stream_fs_open("/dev/null", O_WRONLY, 0, nullptr);
    for (auto _ : st) gmime_build(att.c_str(), out);
    g_object_unref(out);
    unlink(att.c_str());
    st.SetBytesProcessed(st.iterations() * st.range(0) * (1 << 20));
}
BENCHMARK(bm_gmime_build)->Arg(10)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv) {
    if (const char *peak = getenv("KIVO_MAIL_PEAK")) {
        std::string att = make_attachment(static_cast<size_t>(atoi(peak)));
        FILE *out = fopen("/dev/null", "w");
        int rc = kivo_build(att.c_str(), out);
        fclose(out);
        unlink(att.c_str());
        return rc == 0 ? 0 : 1;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
