#pragma once

// The node as a service of the system's service manager (Windows): started
// at boot with nobody logged on, stopped by the manager. POSIX has no such
// manager here: a headless node there is an ordinary process that stops on
// a signal (stopsignal.h).

namespace Varnix::Port {

// What the service manager asks of a running service.
enum class ServiceControl {
    // A stop (net stop, sc stop, the services console, an installer): the
    // first waits for a running job, the second cuts it.
    stop,
    // The system shuts down: no time to wait for a job.
    shutdown,
};

// The service's side of the conversation with its manager.
class ServiceBody {
public:
    virtual ~ServiceBody() = default;
    // The service's life, on the thread the manager gives it: runs until
    // the service has stopped; its return value is the exit code the manager
    // is told (0: a clean stop; anything else counts as a failure).
    virtual int run() = 0;
    // A control from the manager, on the manager's own thread while run()
    // goes on; it must return at once.
    virtual void control(ServiceControl what) = 0;
};

// Connects the process to the service manager as the service `name` and runs
// `body` until it has stopped; the manager is told "start pending" at once
// and "stopped" with run()'s exit code at the end. False, having run
// nothing, when the process was not started by a service manager (a console
// or desktop start, and always on POSIX). The main thread; once.
bool runAsService(const char16_t* name, ServiceBody& body);

// Tells the manager that the service runs and takes stop and shutdown
// controls. From run(), once the service serves.
void reportServiceRunning();

// Tells the manager that the service is still stopping and may take up to
// `waitHintMs` more before its next report; each call advances the
// checkpoint the manager watches. From run() while a stop waits for a job;
// the manager gives up on a service that stops reporting.
void reportServiceStopping(unsigned waitHintMs);

}  // namespace Varnix::Port
