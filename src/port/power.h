#pragma once
// Keeping the machine awake while the node works. Neither Windows nor logind
// counts a busy CPU or disk as use of the machine: a desktop whose power plan
// sleeps after 30 idle minutes would sleep in the middle of a long frame
// unless the program asks it not to.

#include "port/notcopyable.h"
#include "port/status.h"

#include <cstdint>

namespace Varnix::Port {

// One request to the system to stay awake (no sleep for lack of input),
// held from construction until destruction. Windows: a power request for
// the system (PowerCreateRequest, PowerSetRequest with
// PowerRequestSystemRequired, cleared and closed at the end); it holds in
// service mode too. POSIX: a logind inhibitor lock "idle:sleep" in "block"
// mode, asked for over the system bus (DBUS_SYSTEM_BUS_ADDRESS, else the
// standard socket) and released by closing its descriptor, which no child
// inherits. The display may still turn off; the machine does not sleep.
//
// Never blocks for long (the bus call gives up after about a second) and
// never throws but std::bad_alloc. One object per thread; the job thread
// makes it.
class StayAwake : NotCopyable {
public:
    // Asks the system. status() tells how that went.
    explicit StayAwake(const char16_t* reason);
    ~StayAwake();

    // Ok while the request is held. A failure carries the system's reason.
    const Status& status() const { return outcome; }
    // True when the system has no one to ask (no logind on the bus, no bus
    // at all; no power requests, as under Wine): the machine's sleep is not
    // the node's to manage there, and that is no fault to report.
    bool nobodyToAsk() const { return absent; }

private:
    Status outcome;
    bool absent = false;
    std::intptr_t handle = -1;
};

}  // namespace Varnix::Port
