#pragma once

#include <string>

namespace Varnix::Peer {

// Where drmaster's words go. Progress lines go to standard output, except in
// JSON mode, where standard output holds only the JSON report; warnings and
// the one error line of a failure go to standard error in both modes. One thread.
class Reporter {
public:
    explicit Reporter(bool json) : jsonMode(json) {}

    bool json() const { return jsonMode; }

    // "drmaster: TEXT" on standard output; nothing in JSON mode.
    void say(const std::string& text);
    // "drmaster: warning: TEXT" on standard error.
    void warn(const std::string& text);
    // "drmaster: error: TEXT" on standard error; keeps TEXT as the message of
    // the report and returns `status`. The first failure's message is kept.
    int fail(int status, const std::string& text);

    // The failure's text, or empty.
    const std::string& message() const { return failure; }

    // Prints the finished JSON document on standard output (JSON mode only).
    void emit(const std::string& document);

private:
    bool jsonMode;
    std::string failure;
};

}  // namespace Varnix::Peer
