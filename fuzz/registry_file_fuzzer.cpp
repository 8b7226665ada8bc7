// The registry file (a regedit export that an admin copies over): any bytes
// must parse as some registry, and on POSIX systems read from disk as one,
// never crash or hang the node.

#include "FuzzSupport.h"

#include "config/HostInstallDiscovery.h"
#include "config/NodeSettings.h"
#include "config/Registry.h"
#include "port/registry.h"
#include "port/registryfile.h"

#include <vector>

using Varnix::firstHostYear;
using Varnix::lastHostYear;
using Varnix::readRegistryDword;

namespace {

// The value sizes a key reports must be the sizes its reads give.
void checkValue(const char16_t* keyPath, const char16_t* name) {
    Varnix::Port::RegistryKey key(keyPath);
    std::uint32_t size = 0;
    if (!key.valueSize(name, size)) return;
    std::vector<unsigned char> buffer(size + 1u);
    std::uint32_t got = size;
    if (!key.readValue(name, buffer.data(), got) || got != size) std::abort();
    if (size > 0) {
        std::uint32_t tooSmall = size - 1;
        if (key.readValue(name, buffer.data(), tooSmall)) std::abort();
    }
}

// What the parser keeps is in the form lookups expect: folded key paths and
// value names, so that every key it holds can be found.
void checkParsed(const std::uint8_t* data, std::size_t size) {
    namespace RegistryFile = Varnix::Port::RegistryFile;
    RegistryFile::Keys keys = RegistryFile::parse(data, size);
    for (const auto& [path, values] : keys) {
        if (RegistryFile::fold(path) != path || !RegistryFile::keyExists(keys, path)) std::abort();
        for (const auto& entry : values)
            if (RegistryFile::fold(entry.first) != entry.first) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    checkParsed(data, size);

    // The reader keeps a parsed file until the file changes on disk; taking
    // turns between two paths makes it parse every input afresh.
    static const std::string paths[2] = {FuzzSupport::scratchDirectory() + "/a.reg",
                                         FuzzSupport::scratchDirectory() + "/b.reg"};
    static int turn = 0;
    const std::string& path = paths[turn];
    turn ^= 1;
    FuzzSupport::writeFile(path, data, size);
    setenv("VARNIX_REGISTRY", path.c_str(), 1);

    checkValue(u"SOFTWARE\\Varnix", u"developmentVer");
    checkValue(u"SOFTWARE\\Autodesk\\3dsMax\\16.0", u"Installdir");
    checkValue(u"SOFTWARE\\Autodesk\\3dsMax\\16.0", u"");
    checkValue(u"SOFTWARE", u"A");

    std::uint32_t dword = 0;
    readRegistryDword(u"SOFTWARE/Varnix", u"developmentVer", dword);
    Varnix::String text;
    readRegistryString(u"SOFTWARE/Varnix", u"developmentVer", text);
    for (std::int32_t year = firstHostYear; year <= lastHostYear; ++year) {
        Varnix::String directory;
        findHostInstall(year, directory);
    }
    return 0;
}
