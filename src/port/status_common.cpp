#include "port/status.h"

namespace Varnix::Port {

Status Status::withText(int code, std::string text) {
    if (text.empty()) text = "error " + std::to_string(code);
    return Status(code, std::move(text));
}

}  // namespace Varnix::Port
