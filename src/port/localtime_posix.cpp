#include "port/localtime.h"

#include <ctime>

namespace Varnix::Port {

LocalTime localTimeNow() {
    LocalTime result{};
    std::time_t now = std::time(nullptr);
    std::tm parts{};
    // localtime_r: other threads may break times apart at the same moment.
    if (localtime_r(&now, &parts) == nullptr) return result;
    result.year = parts.tm_year + 1900;
    result.month = parts.tm_mon + 1;
    result.day = parts.tm_mday;
    result.hour = parts.tm_hour;
    result.minute = parts.tm_min;
    result.second = parts.tm_sec;
    return result;
}

}  // namespace Varnix::Port
