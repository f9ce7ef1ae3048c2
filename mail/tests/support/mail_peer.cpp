#include "support/mail_peer.h"
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <atomic>
#include <kivo/log.h>

namespace {
std::vector<LogLine> *g_lines;
void record(const char *file, int, const char *function, int level, const char *message) {
    if (g_lines) g_lines->push_back(LogLine{file ? file : "", function ? function : "", message ? message : "", level});
}
std::atomic<int> g_counter{0};

std::string unhex(const std::string &h) {
    std::string out;
    for (size_t i = 0; i + 1 < h.size(); i += 2) out.push_back(static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16)));
    return out;
}
std::vector<std::string> split_tabs(const std::string &line) {
    std::vector<std::string> f;
    size_t s = 0;
    for (;;) {
        size_t t = line.find('\t', s);
        f.push_back(line.substr(s, t == std::string::npos ? std::string::npos : t - s));
        if (t == std::string::npos) break;
        s = t + 1;
    }
    return f;
}
}  // namespace

LogRecorder::LogRecorder() {
    g_lines = &lines;
    fr_log_setlogger(record);
}
LogRecorder::~LogRecorder() {
    fr_log_setlogger(nullptr);
    g_lines = nullptr;
}
std::vector<std::string> LogRecorder::from(const char *file) const {
    std::vector<std::string> out;
    for (const auto &l : lines)
        if (l.file == file) out.push_back(l.message);
    return out;
}
bool LogRecorder::has(const std::string &message) const {
    for (const auto &l : lines)
        if (l.message == message) return true;
    return false;
}
std::vector<std::string> LogRecorder::starting(const std::string &prefix) const {
    std::vector<std::string> out;
    for (const auto &l : lines)
        if (l.message.compare(0, prefix.size(), prefix) == 0) out.push_back(l.message);
    return out;
}

namespace peer {
std::string state() {
    const char *s = getenv("KIVO_SMTP_STATE");
    return s ? s : "";
}
int port(const char *instance) {
    std::string p = read_file(state() + "/port." + instance);
    return p.empty() ? -1 : atoi(p.c_str());
}
std::string host(const char *instance) { return "127.0.0.1:" + std::to_string(port(instance)); }
std::string token(const char *name) {
    return std::string("kv") + name + "-" + std::to_string(getpid()) + "-" + std::to_string(++g_counter);
}

std::string read_file(const std::string &path) {
    std::string out;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) return out;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    fclose(f);
    return out;
}
void write_file(const std::string &path, const std::string &data) {
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) return;
    fwrite(data.data(), 1, data.size(), f);
    fclose(f);
}

std::vector<Stored> find(const std::string &token) {
    std::vector<Stored> out;
    std::string dir = state() + "/spool";
    DIR *d = opendir(dir.c_str());
    if (!d) return out;
    while (struct dirent *e = readdir(d)) {
        std::string n = e->d_name;
        if (n.size() < 5 || n.compare(n.size() - 4, 4, ".eml") != 0) continue;
        std::string path = dir + "/" + n;
        std::string eml = read_file(path);
        if (eml.find(token) == std::string::npos) continue;
        out.push_back(Stored{path, eml, read_file(dir + "/" + n.substr(0, n.size() - 4) + ".json")});
    }
    closedir(d);
    return out;
}

std::string json_field(const std::string &json, const std::string &key) {
    std::string k = "\"" + key + "\": ";
    size_t p = json.find(k);
    if (p == std::string::npos) return "<none>";
    p += k.size();
    if (json[p] == '"') {
        size_t e = json.find('"', p + 1);
        return json.substr(p + 1, e - p - 1);
    }
    if (json[p] == '[') return json.substr(p, json.find(']', p) - p + 1);
    size_t e = json.find_first_of(",}", p);
    return json.substr(p, e - p);
}

std::string Parsed::header(const std::string &name) const {
    for (const auto &h : headers)
        if (strcasecmp(h.first.c_str(), name.c_str()) == 0) return h.second;
    return "<none>";
}
const Part *Parsed::part(const std::string &path) const {
    for (const auto &p : parts)
        if (p.path == path) return &p;
    return nullptr;
}

Parsed parse_file(const std::string &path) {
    Parsed r;
    const char *tools = getenv("KIVO_MAIL_TOOLS");
    if (!tools) {
        r.error = "KIVO_MAIL_TOOLS unset";
        return r;
    }
    char tmpl[] = "/tmp/kivo-parse-XXXXXX";
    if (!mkdtemp(tmpl)) {
        r.error = "mkdtemp";
        return r;
    }
    std::string out = tmpl;
    std::string cmd = std::string("/usr/bin/python3 ") + tools + "/parse_mail.py '" + path + "' " + out + " 2>&1";
    FILE *p = popen(cmd.c_str(), "r");
    std::string text;
    if (p) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
        r.ok = pclose(p) == 0;
    }
    size_t s = 0;
    while (s < text.size()) {
        size_t e = text.find('\n', s);
        if (e == std::string::npos) e = text.size();
        std::vector<std::string> f = split_tabs(text.substr(s, e - s));
        s = e + 1;
        if (f[0] == "header" && f.size() == 3) {
            r.headers.emplace_back(f[1], unhex(f[2]));
        } else if (f[0] == "part" && f.size() == 6) {
            Part part{f[1], f[2], f[3], unhex(f[4]), unhex(f[5]), ""};
            part.payload = read_file(out + "/" + f[1] + ".bin");
            r.parts.push_back(part);
        } else if (f[0] == "addr" && f.size() == 4) {
            r.addrs.push_back({f[1], unhex(f[2]), unhex(f[3])});
        } else if (f[0] == "defect" && f.size() == 3) {
            r.defects.push_back(f[1] + ":" + f[2]);
        } else if (!f[0].empty()) {
            r.error += text.substr(0, 2000);
            r.ok = false;
            break;
        }
    }
    std::string rm = "rm -rf " + out;
    if (system(rm.c_str()) != 0) r.error += " (cleanup failed)";
    return r;
}

Parsed parse_text(const std::string &message) {
    char tmpl[] = "/tmp/kivo-msg-XXXXXX";
    int fd = mkstemp(tmpl);
    if (fd < 0) return Parsed{};
    close(fd);
    write_file(tmpl, message);
    Parsed r = parse_file(tmpl);
    unlink(tmpl);
    return r;
}
}  // namespace peer
