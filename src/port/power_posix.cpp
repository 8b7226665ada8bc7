#include "port/power.h"

#include "port/utf8.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <systemd/sd-bus.h>
#include <unistd.h>

namespace Varnix::Port {

namespace {

// Long enough for a busy logind, short enough that a hung bus costs the job
// no more than a moment.
constexpr std::uint64_t busCallMicroseconds = 1000000;

std::string utf8(const char16_t* text) {
    int units = 0;
    while (text[units] != 0) ++units;
    std::string out(std::size_t(Utf8::encode(text, units, nullptr, 0, Utf8::BadInput::replace)), '\0');
    Utf8::encode(text, units, out.data(), int(out.size()), Utf8::BadInput::replace);
    return out;
}

bool meansNoLogind(const sd_bus_error& error) {
    return sd_bus_error_has_name(&error, SD_BUS_ERROR_SERVICE_UNKNOWN) ||
           sd_bus_error_has_name(&error, SD_BUS_ERROR_NAME_HAS_NO_OWNER);
}

}  // namespace

StayAwake::StayAwake(const char16_t* reason) {
    sd_bus* bus = nullptr;
    int opened = sd_bus_open_system(&bus);
    if (opened < 0) {
        // No system bus: a container or a minimal server.
        absent = opened == -ENOENT || opened == -ECONNREFUSED;
        outcome = Status::withText(-opened, std::string("no system bus: ") + std::strerror(-opened));
        return;
    }
    sd_bus_message* call = nullptr;
    sd_bus_message* reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    std::string why = utf8(reason);
    int result = sd_bus_message_new_method_call(bus, &call, "org.freedesktop.login1", "/org/freedesktop/login1",
                                                "org.freedesktop.login1.Manager", "Inhibit");
    if (result >= 0) result = sd_bus_message_append(call, "ssss", "idle:sleep", "Varnix DR node", why.c_str(), "block");
    if (result >= 0) result = sd_bus_call(bus, call, busCallMicroseconds, &error, &reply);
    int lock = -1;
    if (result >= 0) result = sd_bus_message_read(reply, "h", &lock);
    if (result >= 0) {
        // The reply owns its descriptor; ours must not reach the renderer.
        int held = fcntl(lock, F_DUPFD_CLOEXEC, 3);
        if (held < 0)
            outcome = Status::fromSystem(errno);
        else
            handle = held;
    } else if (sd_bus_error_is_set(&error)) {
        absent = meansNoLogind(error);
        outcome = Status::withText(-result, std::string("logind: ") + (error.message ? error.message : error.name));
    } else {
        outcome = Status::withText(-result, std::string("logind: ") + std::strerror(-result));
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    sd_bus_message_unref(call);
    sd_bus_flush_close_unref(bus);
}

StayAwake::~StayAwake() {
    if (handle >= 0) ::close(int(handle));
}

}  // namespace Varnix::Port
