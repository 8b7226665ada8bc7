#pragma once

// The local wall-clock time, for the stamps of log lines.

namespace Varnix::Port {

// A moment broken into local calendar time, to the second.
struct LocalTime {
    int year;    // calendar year, e.g. 2026
    int month;   // 1 to 12
    int day;     // 1 to 31
    int hour;    // 0 to 23
    int minute;  // 0 to 59
    int second;  // 0 to 60 (a leap second)
};

// The current local time. Never fails: if the clock cannot be broken into
// local time, the fields are all zero. Any thread.
LocalTime localTimeNow();

}  // namespace Varnix::Port
