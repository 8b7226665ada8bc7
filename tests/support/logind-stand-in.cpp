// Stands in for logind's inhibitor locks on a private bus, where no logind
// can run (a container, CI): it owns org.freedesktop.login1 and answers
// Manager.Inhibit as logind does, with one end of a pipe that holds the lock
// until every copy of it is closed. It writes one line to standard output
// when a lock is taken ("take WHAT|WHO|MODE") and one when it is released
// ("release WHAT"), flushed at once. Runs until killed.
//
// usage: logind-stand-in (the bus from DBUS_SYSTEM_BUS_ADDRESS)
#include <poll.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Lock {
    int readEnd;
    std::string what;
};

std::vector<Lock> locks;

int inhibit(sd_bus_message* call, void*, sd_bus_error* error) {
    const char *what = nullptr, *who = nullptr, *why = nullptr, *mode = nullptr;
    int read = sd_bus_message_read(call, "ssss", &what, &who, &why, &mode);
    if (read < 0) return read;
    int ends[2];
    if (pipe(ends) != 0) return sd_bus_error_set_errno(error, 24);
    locks.push_back({ends[0], what});
    std::printf("take %s|%s|%s\n", what, who, mode);
    std::fflush(stdout);
    int replied = sd_bus_reply_method_return(call, "h", ends[1]);
    // The reply holds its own copy: ours goes, so only the caller's is left.
    close(ends[1]);
    return replied;
}

const sd_bus_vtable manager[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Inhibit", "ssss", "h", inhibit, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};

}  // namespace

int main() {
    sd_bus* bus = nullptr;
    if (sd_bus_open_system(&bus) < 0) return 1;
    if (sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/login1", "org.freedesktop.login1.Manager", manager,
                                 nullptr) < 0)
        return 1;
    if (sd_bus_request_name(bus, "org.freedesktop.login1", 0) < 0) return 1;
    std::printf("ready\n");
    std::fflush(stdout);
    for (;;) {
        while (sd_bus_process(bus, nullptr) > 0) {
        }
        sd_bus_wait(bus, 50000);
        for (auto lock = locks.begin(); lock != locks.end();) {
            pollfd hung{lock->readEnd, POLLIN, 0};
            if (poll(&hung, 1, 0) == 1 && (hung.revents & POLLHUP) != 0) {
                std::printf("release %s\n", lock->what.c_str());
                std::fflush(stdout);
                close(lock->readEnd);
                lock = locks.erase(lock);
            } else {
                ++lock;
            }
        }
    }
}
