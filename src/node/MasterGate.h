#pragma once
// The greeting phase of the master port: connections are greeted, their
// master greeting read and their whole parameter string awaited side by
// side, so that a silent or slow client (or a thousand of them) cannot keep
// an honest master out, which greets and sends its parameters at once. The
// job is handed a connection only once its parameters have all arrived.
//
// Masters are served in the order they connected: a connection whose
// parameters are complete waits while any connection greeted before it is
// still within its time to greet (5 s) and to send its parameters (10 s).
// So a flood costs an honest master at most those seconds of the
// connections ahead of it, and a slow master keeps its turn. When a master
// is handed to its job, every connection greeted after it is closed at
// once: nothing is read during a job, and a greeted master would otherwise
// be stalled mid-upload for the whole of it. Connections not yet greeted
// wait in the listen queue, as ever.
//
// A new connection is greeted while the ones greeted less than staggerMs
// ago are fewer than the ones that stay silent longer, so the number greeted
// side by side grows only while they stay silent; masters that connect
// together and answer at once are greeted one after the other.
//
// Everything runs on the accept loop's thread (serverThread).

#include "core/LogTarget.h"
#include "core/String.h"
#include "node/LineBudget.h"
#include "port/socket.h"

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

namespace Varnix {

class NodeStateBoard;

class MasterGate {
public:
    // Connections held in the greeting phase at once.
    static constexpr std::size_t maxPending = 256;
    // When full and more are waiting, a connection silent this long makes room.
    static constexpr long long evictAfterMs = 1000;
    static constexpr long long staggerMs = 200;
    // How often the stop flag is looked at while waiting.
    static constexpr int pollMs = 500;

    // `listener` and `window` must outlive the gate.
    MasterGate(Port::ListeningSocket* listener, LogTarget* window);
    // Closes what is still held.
    ~MasterGate();
    MasterGate(const MasterGate&) = delete;
    MasterGate& operator=(const MasterGate&) = delete;

    // Waits until the earliest connection still held has greeted as a
    // master and its whole parameter string has arrived; returns it with the
    // master greeting read and the parameters still to be read (readString).
    // Logs what it drops: "Got bogus master connection" for a wrong greeting
    // (nothing, fewer than four bytes or a close within 5 s), a line of its
    // own for a peer that closed before it was greeted and for each
    // connection closed because a job begins (see above), "Accepted
    // remote connection from ..." for each master (when it is handed over
    // or dropped, so that a job's lines stay together), and "Ready for new
    // connection" after each connection it closes; past a burst, bogus
    // connections are counted instead ("Closed N more bogus master
    // connections, too many to log one by one"). Null once `stop` is set
    // (within pollMs); the connections still held are then closed without a
    // line. `eachTurn`, if set, runs on every turn of the wait (at least
    // every pollMs).
    std::unique_ptr<Port::StreamSocket> nextMaster(const std::atomic<bool>& stop,
                                                   const std::function<void()>& eachTurn = {});

    // The steps nextMaster is made of, for a caller that brings its own
    // connections and clock (the master-link fuzzer): `admit` greets
    // `connection` and holds it; `takeNext` looks once at every connection
    // held, without waiting, drops what must go (with its lines) and returns
    // the earliest one if it is complete, else null; `held` counts the
    // connections held.
    void admit(std::unique_ptr<Port::StreamSocket> connection, long long nowMs);
    std::unique_ptr<Port::StreamSocket> takeNext(long long nowMs);
    std::size_t held() const { return pending.size(); }

    // Closes every connection still held, with its lines ("Closed at once:
    // ..." for a master): the one handed over was the earliest, so all of
    // them came after it. Called once the job handed over is sure to run
    // (its release is configured), before its scene: nothing is read during
    // a job, and a master left greeted would push its scene into a
    // connection nobody reads. A job refused at once closes nobody: the
    // masters behind it are served next.
    void closeGreetedBehind();

    // The "Accepted remote connection from ..." line of the connection last
    // handed over, once; "" after that. The job writes it, or leaves it out
    // with the rest of a refusal past its budget.
    String takeAcceptedLine();

    // Told of each master turned away because the node is busy (counted as
    // a refused job); none when null.
    NodeStateBoard* state = nullptr;

private:
    struct Pending {
        std::unique_ptr<Port::StreamSocket> socket;
        long long greetedMs = 0;
        long long deadlineMs = 0;
        bool master = false;    // its master greeting has been read
        bool complete = false;  // its parameters have all arrived: it waits for its turn
        // Bytes that wait unread (part of a greeting or of the parameters):
        // such a connection is looked at again every partialRecheckMs
        // instead of being waited on, which would return at once.
        std::uint32_t waiting = 0;
        Port::IPv4Address peer;  // taken when it greets as a master
    };
    enum class Verdict { wait, drop, complete };
    static constexpr int partialRecheckMs = 50;

    // Looks at one held connection that is not complete yet.
    Verdict examine(Pending& pending, long long nowMs);
    void greetWaitingConnections(long long nowMs);
    String acceptedLine(const Pending& pending);
    // Closes and forgets one held connection with the lines it deserves.
    void drop(std::size_t index, const String& why);
    // Writes the count of bogus connections not logged, when due (every
    // count when `last`).
    void logHeldBackBogus(bool last);

    Port::ListeningSocket* listener;
    LogTarget* window;
    std::vector<Pending> pending;
    String accepted;  // see takeAcceptedLine
    // Lines of wrong greetings, which cost their sender nothing: 50 at once
    // and 2 a second on average are written, the rest counted.
    LineBudget bogusLines{50, 2};
};

}  // namespace Varnix
