#include "core/Str.h"

#include <locale>
#include <sstream>
#include <string>

namespace Varnix::Str {
namespace {

String fromStream(const std::stringstream& stream) {
    std::string text = stream.str();
    return String(text.c_str());
}

}  // namespace

String toString(int value) {
    std::stringstream stream;
    stream << value;
    return fromStream(stream);
}

String toString(long value) {
    std::stringstream stream;
    stream << value;
    return fromStream(stream);
}

String toString(long long value) {
    std::stringstream stream;
    stream << value;
    return fromStream(stream);
}

String getFormatted(std::uint64_t value) {
    struct comma_facet : std::numpunct<char> {
        char do_thousands_sep() const override { return ','; }
        std::string do_grouping() const override { return "\3"; }
    };
    std::stringstream stream;
    stream.imbue(std::locale(stream.getloc(), new comma_facet));
    if (value >= 100000000ULL)
        stream << value / 1000000ULL << " M";
    else
        stream << value;
    return fromStream(stream);
}

}  // namespace Varnix::Str
