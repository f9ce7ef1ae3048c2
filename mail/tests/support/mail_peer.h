// Test helpers for the mail library: the throwaway SMTP servers started by
// the `smtp` CTest fixture, the messages they stored, Python's email parser
// as the judge of built messages, and a log recorder.
#pragma once
#include <map>
#include <string>
#include <vector>

struct LogLine {
    std::string file, function, message;
    int level;
};

// Installs a log callback for its lifetime and records every message.
class LogRecorder {
public:
    LogRecorder();
    ~LogRecorder();
    std::vector<LogLine> lines;
    // Messages (texts only) from one source file ("smtp", "mail").
    std::vector<std::string> from(const char *file) const;
    bool has(const std::string &message) const;
    // Messages that start with prefix.
    std::vector<std::string> starting(const std::string &prefix) const;
};

namespace peer {
// The fixture's state directory (KIVO_SMTP_STATE); empty when unset.
std::string state();
// "127.0.0.1:<port>" of one server instance (main, auth, notls, drop,
// middata, garbage, ntlm).
std::string host(const char *instance);
int port(const char *instance);
// A token no other test (or build) uses: name, pid and a counter.
std::string token(const char *name);

struct Stored {
    std::string eml_path;
    std::string eml;   // the message as the server received it
    std::string meta;  // JSON envelope: server, mail_from, rcpt_tos, auth, tls
};
// Every stored message whose text contains token.
std::vector<Stored> find(const std::string &token);

// One leaf or container part as Python's email package sees it.
struct Part {
    std::string path;         // "0", "0.1", ...
    std::string type;         // content type, lower case
    std::string disposition;  // "-" when none
    std::string filename;     // "-" when none
    std::string content_id;   // "-" when none
    std::string payload;      // decoded bytes of a leaf, empty for containers
};
struct Parsed {
    bool ok = false;  // the parser ran
    std::vector<std::pair<std::string, std::string>> headers;  // name, decoded value (UTF-8)
    std::vector<Part> parts;
    // (header, display name, address) of every address in an address header.
    std::vector<std::vector<std::string>> addrs;
    std::vector<std::string> defects;
    std::string error;
    // The decoded value of the first header of that name, or "<none>".
    std::string header(const std::string &name) const;
    const Part *part(const std::string &path) const;
};
// Parses a message file with Python's email package (policy.default).
Parsed parse_file(const std::string &path);
Parsed parse_text(const std::string &message);

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &data);
// "key": value from the stored JSON envelope (crude, for flat strings/bools).
std::string json_field(const std::string &json, const std::string &key);
}  // namespace peer
