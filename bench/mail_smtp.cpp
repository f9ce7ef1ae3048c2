// SMTP submission: small messages to the local test server (aiosmtpd, no
// TLS), one session each, through fr_mail_send_direct. Reports messages per
// second; the Python server dominates the figure.
#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <unistd.h>

#include <benchmark/benchmark.h>
#include <kivo/mail.h>
#include <kivo/smtp.h>

namespace {

std::string g_state;

bool start_server() {
    char dir[] = "/tmp/kivo_bench_smtp_XXXXXX";
    if (!mkdtemp(dir)) return false;
    g_state = dir;
    std::string cmd = std::string(KIVO_SOURCE_DIR) + "/scripts/services.d/smtp.sh start " + g_state + " >/dev/null";
    return system(cmd.c_str()) == 0;
}

void stop_server() {
    std::string cmd = std::string(KIVO_SOURCE_DIR) + "/scripts/services.d/smtp.sh stop " + g_state + "; rm -rf " + g_state;
    if (system(cmd.c_str()) != 0) fprintf(stderr, "could not stop the test server\n");
}

std::string host() {
    FILE *f = fopen((g_state + "/port.notls").c_str(), "r");
    int port = 0;
    if (f) {
        if (fscanf(f, "%d", &port) != 1) port = 0;
        fclose(f);
    }
    return "127.0.0.1:" + std::to_string(port);
}

void bm_smtp_session_per_message(benchmark::State &st) {
    if (!start_server()) {
        st.SkipWithError("test SMTP server did not start");
        return;
    }
    std::string server = host();
    long n = 0;
    for (auto _ : st) {
        fr_mail_t *m = fr_mail_init();
        fr_mail_add_from(m, "Sender", "sender@kivo.test");
        fr_mail_add_to(m, "rcpt@kivo.test");
        fr_mail_add_subject(m, "notification %ld", n++);
        fr_mail_add_body(m, "Job %ld is done.\r\n", n);
        fr_smtp_t *smtp = fr_smtp_init();
        fr_smtp_set_host(smtp, server.c_str());
        if (fr_mail_send_direct(m, smtp) != 0) st.SkipWithError("send failed");
        fr_smtp_destroy(smtp);
        fr_mail_destroy(m);
    }
    st.counters["msgs_per_s"] = benchmark::Counter(static_cast<double>(st.iterations()), benchmark::Counter::kIsRate);
    stop_server();
}
BENCHMARK(bm_smtp_session_per_message)->Iterations(200)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
