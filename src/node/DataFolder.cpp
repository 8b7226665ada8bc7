#include "node/DataFolder.h"

#include "port/files.h"

Varnix::String dataDirectoryOfWorkingDirectory() {
    return Varnix::String(Varnix::Port::workingDirectory().c_str()) + u"/drData/";
}
