#include "app/DataFolder.h"

#include "port/files.h"

#include <cstddef>

namespace {

constexpr std::size_t workingDirectoryBufferSize = 10240;

}  // namespace

Varnix::String dataDirectoryOfWorkingDirectory() {
    char workingDirectory[workingDirectoryBufferSize];
    Varnix::Port::getWorkingDirectory(workingDirectory, sizeof workingDirectory);
    // A file name: decoded so that it turns back into the same bytes, even
    // when they are not UTF-8.
    return Varnix::String::fromFileName(workingDirectory) + u"/drData/";
}
