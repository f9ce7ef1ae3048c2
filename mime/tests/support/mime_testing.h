// Test helpers for the encoders: both forms of an encoding run on a byte
// string, and a log callback that keeps every message.
#ifndef KIVO_MIME_TESTING_H
#define KIVO_MIME_TESTING_H

#include <stdio.h>

#include <string>
#include <vector>

#include <kivo/exceptions.h>
#include <kivo/log.h>
#include <kivo/mime.h>
#include <kivo/safestr.h>

namespace mimetest {

typedef int (*stream_fn)(FILE *, FILE *);
typedef safestr_t (*string_fn)(const char *);

struct encoding {
    const char *name;
    stream_fn stream;
    string_fn string;
};

// The five encodings, by name.
const std::vector<encoding> &encodings();
const encoding &by_name(const std::string &name);

// String form: the result's bytes (its length is authoritative). *code
// receives the exception code that left the call (0 for none); a null
// result gives "<null>".
std::string via_string(string_fn fn, const char *in, int *code = nullptr);
// Stream form through temporary files (seekable, readable and writable);
// *rc receives the result.
std::string via_stream(stream_fn fn, const std::string &in, int *rc = nullptr);

struct log_line {
    std::string file, function, message;
    int line, level;
};
// Installs a log callback for the life of the object; lines() is what it got.
class log_capture {
  public:
    log_capture();
    ~log_capture();
    const std::vector<log_line> &lines() const;
    void clear();
};

// Runs python3 with the script; stdin from `input`, returns its standard
// output. *status receives the exit status.
std::string python(const std::string &script, const std::string &input, int *status);

// Deterministic bytes.
std::string random_bytes(size_t n, unsigned seed);

} // namespace mimetest

#endif
