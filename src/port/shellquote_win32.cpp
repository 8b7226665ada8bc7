#include "port/shellquote.h"

namespace Varnix::Port {

std::u16string quoteForCommandLine(const std::u16string& piece, char16_t) { return piece; }

}  // namespace Varnix::Port
