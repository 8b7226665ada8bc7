#include "port/registry.h"

#include "port/registryfile.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

// The registry here is a regedit export (registryfile.h), parsed once and
// kept until the file changes on disk.

namespace Varnix::Port {
namespace {

using RegistryFile::fold;
using RegistryFile::Keys;
using RegistryFile::Value;
using RegistryFile::Values;

constexpr const char* defaultRegistryPath = "/etc/varnix/registry.reg";

// The parsed file and what identifies the file's state on disk.
struct Snapshot {
    std::string path;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = -1;
    struct timespec modified = {};
    std::shared_ptr<const Keys> keys;
};

std::mutex snapshotLock;
Snapshot snapshot;

bool sameState(const Snapshot& known, const std::string& path, const struct stat& status) {
    return known.keys && known.path == path && known.device == status.st_dev && known.inode == status.st_ino &&
           known.size == status.st_size && known.modified.tv_sec == status.st_mtim.tv_sec &&
           known.modified.tv_nsec == status.st_mtim.tv_nsec;
}

std::shared_ptr<const Keys> currentRegistry() {
    static const std::shared_ptr<const Keys> empty = std::make_shared<Keys>();
    const char* configured = std::getenv("VARNIX_REGISTRY");
    std::string path = configured && *configured ? configured : defaultRegistryPath;

    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return empty;
    struct stat status;
    if (fstat(fileno(file), &status) != 0 || !S_ISREG(status.st_mode)) {
        std::fclose(file);
        return empty;
    }
    std::lock_guard<std::mutex> guard(snapshotLock);
    if (!sameState(snapshot, path, status)) {
        auto keys = std::make_shared<Keys>(RegistryFile::parse(
            [file](unsigned char* buffer, std::size_t capacity) { return std::fread(buffer, 1, capacity, file); }));
        snapshot.path = path;
        snapshot.device = status.st_dev;
        snapshot.inode = status.st_ino;
        snapshot.size = status.st_size;
        snapshot.modified = status.st_mtim;
        snapshot.keys = std::move(keys);
    }
    std::fclose(file);
    return snapshot.keys;
}

}  // namespace

struct RegistryKey::Impl {
    std::shared_ptr<const Keys> registry;
    const Values* values;  // null for a key that holds no values of its own
};

RegistryKey::RegistryKey(const char16_t* path) : impl(nullptr) {
    std::shared_ptr<const Keys> registry = currentRegistry();
    std::u16string folded = fold(path);
    if (!RegistryFile::keyExists(*registry, folded)) return;
    auto it = registry->find(folded);
    impl = new Impl{registry, it == registry->end() ? nullptr : &it->second};
}

RegistryKey::~RegistryKey() { delete impl; }

bool RegistryKey::isOpen() const { return impl != nullptr; }

namespace {

const Value* findValue(const Values* values, const char16_t* name) {
    if (!values) return nullptr;
    auto it = values->find(fold(name));
    return it == values->end() ? nullptr : &it->second;
}

}  // namespace

bool RegistryKey::valueSize(const char16_t* name, std::uint32_t& size) const {
    const Value* value = impl ? findValue(impl->values, name) : nullptr;
    if (!value) return false;
    size = static_cast<std::uint32_t>(value->data.size());
    return true;
}

bool RegistryKey::readValue(const char16_t* name, void* buffer, std::uint32_t& size) const {
    const Value* value = impl ? findValue(impl->values, name) : nullptr;
    if (!value || value->data.size() > size) return false;
    if (!value->data.empty()) std::memcpy(buffer, value->data.data(), value->data.size());
    size = static_cast<std::uint32_t>(value->data.size());
    return true;
}

}  // namespace Varnix::Port
