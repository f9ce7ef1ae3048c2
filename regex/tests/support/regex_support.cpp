#include "regex_support.h"

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>
#include <mutex>

#include <kivo/log.h>

safestr_t S(const std::string &b) {
    safestr_t s = safestr_create("", 0);
    for (char c : b)
        safestr_appendchar(&s, c);
    return s;
}

std::string bytes(safestr_t s) { return std::string(s, safestr_length(s)); }

namespace {
std::mutex log_mutex;
std::vector<std::pair<std::string, std::string>> log_lines;
void record(const char *, int, const char *function, int, const char *message) {
    std::lock_guard<std::mutex> g(log_mutex);
    log_lines.emplace_back(function ? function : "", message ? message : "");
}
} // namespace

LogRecorder::LogRecorder() {
    log_lines.clear();
    fr_log_init_custom(record);
    fr_log_setlevel(7);
}
LogRecorder::~LogRecorder() {
    fr_log_setlogger(nullptr);
    fr_log_setlevel(6);
}
std::vector<std::string> LogRecorder::from(const char *function) const {
    std::lock_guard<std::mutex> g(log_mutex);
    std::vector<std::string> out;
    for (auto &l : log_lines)
        if (l.first == function)
            out.push_back(l.second);
    return out;
}

std::vector<std::string> take_list(fr_reglink_t *list) {
    std::vector<std::string> out;
    if (!list->next)
        return out;
    for (fr_reglink_t *l = list->next; l != list;) {
        fr_regnode_t *node = FR_REGNODE(l);
        l = l->next;
        out.push_back(bytes(node->string));
        safestr_free(node->string);
        free(node);
    }
    list->next = list->prev = list;
    return out;
}

std::string run_judge(const std::string &command, const std::string &input) {
    char path[] = "/tmp/kivo_regex_judge_XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) {
        perror("mkstemp");
        abort();
    }
    size_t off = 0;
    while (off < input.size()) {
        ssize_t n = write(fd, input.data() + off, input.size() - off);
        if (n <= 0)
            break;
        off += size_t(n);
    }
    close(fd);
    std::string cmd = command + " < " + path;
    FILE *p = popen(cmd.c_str(), "r");
    std::string out;
    if (p) {
        char buf[65536];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0)
            out.append(buf, n);
        if (pclose(p) != 0) {
            fprintf(stderr, "judge failed: %s\n", command.c_str());
            abort();
        }
    } else {
        fprintf(stderr, "cannot run %s\n", command.c_str());
        abort();
    }
    unlink(path);
    return out;
}

std::string hex(const std::string &b) {
    static const char d[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : b) {
        out += d[c >> 4];
        out += d[c & 15];
    }
    return out;
}

std::string locale_dir() {
    const char *p = getenv("LOCPATH");
    return p ? p : "";
}
