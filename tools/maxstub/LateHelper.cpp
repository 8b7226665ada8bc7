#include "LateHelper.h"

#include "FrameImage.h"
#include "ImageFiles.h"

#include <chrono>
#include <cstdio>
#include <thread>

namespace Varnix::Peer {

int runLateHelper(const std::string& directory, int delayMs) {
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    const std::string partial = directory + "/partial_99.tmp";
    const std::string path = directory + "/dump99.exr";
    if (!writeWholeFile(partial, encodeExr(makeFrameImage(64, 32, 99, 1.0)))) return 1;
    return std::rename(partial.c_str(), path.c_str()) == 0 ? 0 : 1;
}

}  // namespace Varnix::Peer
