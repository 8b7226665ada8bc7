#include "port/failure.h"

#include "port/encoding.h"

#include <cstdio>
#include <string>

namespace Varnix::Port {
namespace {

std::string narrowOf(const char16_t* text) {
    int count = 0;
    while (text[count] != 0) ++count;
    std::string result(static_cast<size_t>(count) * 3, '\0');
    int bytes = wideToNarrow(text, count, &result[0], static_cast<int>(result.size()));
    result.resize(static_cast<size_t>(bytes));
    return result;
}

}  // namespace

void showTaskFailure(const char16_t* text, const char16_t* caption) {
    std::string line = narrowOf(caption) + ": " + narrowOf(text) + "\n";
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
}

}  // namespace Varnix::Port
