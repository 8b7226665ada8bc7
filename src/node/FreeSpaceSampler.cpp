#include "node/FreeSpaceSampler.h"

#include "port/files.h"

namespace Varnix {

FreeSpaceSampler::FreeSpaceSampler(const std::u16string& folder, std::atomic<std::int64_t>& megabytes)
    : folder(folder), megabytes(megabytes) {
    thread = Port::createThread(&FreeSpaceSampler::run, this, 0x10000);
    if (thread != nullptr) Port::nameThread(thread, "MY_FreeSpaceSampler");
}

FreeSpaceSampler::~FreeSpaceSampler() {
    if (thread == nullptr) return;
    {
        Port::MutexLock guard(lock);
        stopping = true;
        wake.wakeAll();
    }
    Port::joinThread(thread);
    Port::closeThread(thread);
}

void FreeSpaceSampler::run(void* self) {
    auto* sampler = static_cast<FreeSpaceSampler*>(self);
    for (;;) {
        std::int64_t bytes = Port::freeSpaceBytes(sampler->folder.c_str());
        sampler->megabytes = bytes < 0 ? -1 : bytes >> 20;
        Port::MutexLock guard(sampler->lock);
        if (!sampler->stopping) sampler->wake.waitFor(sampler->lock, periodMs);
        if (sampler->stopping) return;
    }
}

}  // namespace Varnix
