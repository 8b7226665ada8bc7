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
// connections ahead of it, and a slow master keeps its turn. The
// connections greeted after the one handed to a job stay held through the
// job: a master that answered, or whose answer was still on its way over a
// long link, is served next, never closed because another came first. What
// arrived meanwhile is judged by what is there when the job ends, so bytes
// that came in time count even if the node looks at them late. Nothing is
// read during a job, so such a master's scene waits in the connection until
// its turn. Connections not yet
// greeted wait in the listen queue, as ever.
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
class LineBudget;

// One connection on the master port and its lines in the log, whoever
// writes them (the gate while it holds it, the job once it is handed over):
// a master's first line comes after "Accepted remote connection from ...",
// and once the connection is closed "Ready for new connection" follows, when
// any line was written about it. Owned by one thread at a time.
class MasterConnection {
public:
    // `window` and `refusals` (the gate's budget for refused jobs' lines)
    // must outlive the connection.
    MasterConnection(std::unique_ptr<Port::StreamSocket> socket, LogTarget* window, LineBudget* refusals);
    // Closes it (close).
    ~MasterConnection();
    MasterConnection(const MasterConnection&) = delete;
    MasterConnection& operator=(const MasterConnection&) = delete;

    // Null once closed. Stays owned here.
    Port::StreamSocket* socket() const { return connection.get(); }
    // Its peer greeted as a master: its lines begin with the accepted line.
    void greetedAsMaster();
    bool isMaster() const { return master; }

    // Writes `line`, after the accepted line if that is not written yet.
    void log(const String& line);
    // Writes the accepted line if it is not written yet (for a master).
    void announce();
    // A refused job's lines cost its sender nothing, and each can carry a
    // different parameter text that no repeat count merges: past a burst
    // they are counted (the gate writes the count) and none of them is
    // written, not even the accepted line. True when they may be written.
    bool mayExplainRefusal();

    // "Ready for new connection" when any line was written about it, then
    // closes it. Once; nothing after that.
    void close();

    // The parameter string, read once by the gate when it hands the
    // connection over; parametersRead is false when that read failed.
    String parameters;
    bool parametersRead = false;

private:
    std::unique_ptr<Port::StreamSocket> connection;
    LogTarget* window;
    LineBudget* refusals;
    Port::IPv4Address peer;  // taken when it greets as a master
    bool master = false;
    bool announced = false;
    bool logged = false;
};

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
    // Closes what is still held; writes the counts of lines held back.
    ~MasterGate();
    MasterGate(const MasterGate&) = delete;
    MasterGate& operator=(const MasterGate&) = delete;

    // Waits until the earliest connection still held has greeted as a
    // master and its whole parameter string has arrived; returns it with the
    // master greeting and its parameters read (MasterConnection::parameters).
    // Logs what it drops: "Got bogus master connection" for a wrong greeting
    // (nothing, fewer than four bytes or a close within 5 s), a line of its
    // own for a peer that closed in the listen queue through a job (on a node
    // that was waiting, such a port check is bogus) and for a master
    // closed to make room when maxPending are held, each with its
    // connection's lines (MasterConnection); past a burst, bogus connections
    // are counted instead ("Closed N more bogus master connections, too many
    // to log one by one"), and so are refused jobs (their count written on
    // its turns). Null once `stop` is set (within pollMs); the connections
    // still held are then closed without a line. `eachTurn`, if set, runs on
    // every turn of the wait (at least every pollMs).
    std::unique_ptr<MasterConnection> nextMaster(const std::atomic<bool>& stop,
                                                 const std::function<void()>& eachTurn = {});

    // The steps nextMaster is made of, for a caller that brings its own
    // connections and clock (the master-link fuzzer): `admit` greets
    // `connection` and holds it; `takeNext` looks once at every connection
    // held, without waiting, drops what must go (with its lines) and returns
    // the earliest one if it is complete, else null; `held` counts the
    // connections held.
    void admit(std::unique_ptr<Port::StreamSocket> connection, long long nowMs);
    std::unique_ptr<MasterConnection> takeNext(long long nowMs);
    std::size_t held() const { return pending.size(); }

    // Told of each master turned away because too many connections wait
    // (counted as a refused job); none when null.
    NodeStateBoard* state = nullptr;

private:
    struct Pending {
        std::unique_ptr<MasterConnection> connection;
        long long greetedMs = 0;
        long long deadlineMs = 0;
        bool complete = false;  // its parameters have all arrived: it waits for its turn
        // Bytes that wait unread (part of a greeting or of the parameters):
        // such a connection is looked at again every partialRecheckMs
        // instead of being waited on, which would return at once.
        std::uint32_t waiting = 0;
    };
    enum class Verdict { wait, drop, complete };
    static constexpr int partialRecheckMs = 50;

    // Looks at one held connection that is not complete yet.
    Verdict examine(Pending& pending, long long nowMs);
    void greetWaitingConnections(long long nowMs);
    // Closes and forgets one held connection with the lines it deserves.
    void drop(std::size_t index, const String& why);
    // Writes the counts of bogus connections and refused jobs not logged,
    // when due (every count when `last`).
    void logHeldBack(bool last);

    Port::ListeningSocket* listener;
    LogTarget* window;
    std::vector<Pending> pending;
    // A master was handed over and the listen queue has not been found empty
    // since: what waits there may have waited through a job.
    bool queuedThroughJob = false;
    // Lines of wrong greetings, which cost their sender nothing: 50 at once
    // and 2 a second on average are written, the rest counted.
    LineBudget bogusLines{50, 2};
    // Lines of refused jobs (a version not configured here): a stranger can
    // send as many as it likes, each with different parameters. 20 at once
    // and one every 2 s on average, far above the few a minute of a farm
    // with a misconfigured master.
    LineBudget refusedJobLines{20, 0.5};
};

}  // namespace Varnix
