// Test helpers of the regex library: binary-safe safe strings, a log
// recorder, the split list, and running an outside program as a judge.
#pragma once
#include <string>
#include <vector>
#include <kivo/regex.h>
#include <kivo/safestr.h>

// A new safe string holding exactly these bytes (zero bytes included).
safestr_t S(const std::string &bytes);
// The bytes of a safe string, its whole length.
std::string bytes(safestr_t s);

// Routes the logger to a recorder for its lifetime (level 7 and below).
class LogRecorder {
public:
    LogRecorder();
    ~LogRecorder();
    // Messages logged by function, in order.
    std::vector<std::string> from(const char *function) const;
};

// Strings of the list in order; frees every node and string and leaves the
// list empty.
std::vector<std::string> take_list(fr_reglink_t *list);

// Runs a shell command with input on its standard input; its standard
// output. Aborts the test program when the command cannot run or exits non-zero.
std::string run_judge(const std::string &command, const std::string &input);

// Hex form of bytes (two lower-case digits a byte), to hand any bytes to a judge.
std::string hex(const std::string &bytes);

// Directory holding the locales the tests generate (LOCPATH), or "".
std::string locale_dir();
