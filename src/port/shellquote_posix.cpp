#include "port/shellquote.h"

namespace Varnix::Port {

namespace {

// What a backslash escapes inside double quotes for /bin/sh.
bool escapedByBackslash(char16_t c) { return c == u'$' || c == u'`' || c == u'"' || c == u'\\' || c == u'\n'; }

}  // namespace

std::u16string quoteForCommandLine(const std::u16string& piece, char16_t follower) {
    std::u16string out;
    out.reserve(piece.size());
    for (std::size_t i = 0; i < piece.size(); ++i) {
        char16_t c = piece[i];
        char16_t next = i + 1 < piece.size() ? piece[i + 1] : follower;
        // A lone backslash before anything else stays as it is, so Windows
        // style paths keep their look.
        if (c == u'$' || c == u'`' || c == u'"' || (c == u'\\' && escapedByBackslash(next))) out += u'\\';
        out += c;
    }
    return out;
}

bool interpreterExpandsVariable(const std::u16string&) { return false; }

}  // namespace Varnix::Port
