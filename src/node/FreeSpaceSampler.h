#pragma once
// The free space on the data folder's disk, sampled on a thread of its own:
// a slow or network disk then holds up only this thread, never the one that
// answers status requests.

#include "port/notcopyable.h"
#include "port/thread.h"
#include "port/threadsafety.h"

#include <atomic>
#include <cstdint>
#include <string>

namespace Varnix {

class FreeSpaceSampler : Port::NotCopyable {
public:
    // Often enough for a page that shows a disk filling up, seldom enough to
    // cost nothing.
    static constexpr int periodMs = 5000;

    // Starts "MY_FreeSpaceSampler", which writes the megabytes free on
    // `folder`'s disk into `megabytes` at once and every periodMs (-1 when
    // they cannot be told). A thread that cannot be made leaves `megabytes`
    // as it is: nothing else depends on it. `megabytes` outlives the
    // sampler. Any thread.
    FreeSpaceSampler(const std::u16string& folder, std::atomic<std::int64_t>& megabytes);
    // Stops the thread, waiting for a sample under way.
    ~FreeSpaceSampler();

private:
    static void run(void* self);

    const std::u16string folder;
    std::atomic<std::int64_t>& megabytes;
    Port::Mutex lock;
    Port::ConditionVariable wake;
    bool stopping GUARDED_BY(lock) = false;
    Port::ThreadHandle thread = nullptr;
};

}  // namespace Varnix
