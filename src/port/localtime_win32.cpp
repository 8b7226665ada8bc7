#include "port/localtime.h"

#include <ctime>

namespace Varnix::Port {

LocalTime localTimeNow() {
    LocalTime result{};
    __time64_t now = _time64(nullptr);
    std::tm parts{};
    if (_localtime64_s(&parts, &now) != 0) return result;
    result.year = parts.tm_year + 1900;
    result.month = parts.tm_mon + 1;
    result.day = parts.tm_mday;
    result.hour = parts.tm_hour;
    result.minute = parts.tm_min;
    result.second = parts.tm_sec;
    return result;
}

}  // namespace Varnix::Port
