#include "node/DataFolder.h"

#include "config/DevelopmentMode.h"
#include "port/files.h"

Varnix::String dataDirectoryOfWorkingDirectory() {
    return Varnix::String(Varnix::Port::workingDirectory().c_str()) + u"/drData/";
}

std::int64_t dataDiskFreeBytes(const Varnix::String& dataDirectory) {
    std::uint32_t megabytes = 0;
    if (Varnix::developmentFreeDiskMegabytes(megabytes)) return std::int64_t(megabytes) << 20;
    Varnix::String folder = dataDirectory;
    return Varnix::Port::freeSpaceBytes(folder.wideCString());
}
