#include "support/TempDirectory.h"

#include "port/path.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <type_traits>

namespace VarnixTest {

namespace fs = std::filesystem;

namespace {

constexpr bool namesAreUtf16 = std::is_same_v<fs::path::value_type, wchar_t>;

// One of the two is used: the one for this system's form of names.
[[maybe_unused]] std::u16string fromNative(const std::string& bytes) {
    return Varnix::Port::pathFromSystem(bytes.c_str());
}
[[maybe_unused]] std::u16string fromNative(const std::wstring& units) {
    return std::u16string(units.begin(), units.end());
}

}  // namespace

fs::path oddFolderName() { return namesAreUtf16 ? fs::path(u"x\u3042y") : fs::path("x\xffy"); }

std::u16string portPath(const fs::path& where) { return fromNative(where.native()); }

TempDirectory::TempDirectory() {
    // Several test processes run at once: a random part keeps their names
    // apart, the counter those of one process.
    static std::atomic<unsigned> counter{0};
    static const unsigned long long processPart = std::random_device{}();
    for (int attempt = 0; attempt < 100; ++attempt) {
        auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        fs::path candidate = fs::temp_directory_path() / ("varnix-test-" + std::to_string(processPart) + "-" +
                                                          std::to_string(stamp) + "-" + std::to_string(counter++));
        std::error_code error;
        if (fs::create_directory(candidate, error)) {
            where = fs::absolute(candidate);
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary directory");
}

TempDirectory::~TempDirectory() {
    if (kept) return;
    std::error_code ignored;
    fs::remove_all(where, ignored);
}

void TempDirectoryTest::SetUp() {
    owned = std::make_unique<TempDirectory>();
    directory = owned->path();
}

void TempDirectoryTest::TearDown() {
    if (owned && keepAfterFailure && HasFailure()) {
        owned->keep();
        std::fprintf(stderr, "kept the directory of the failed test: %s\n", directory.string().c_str());
    }
    owned.reset();
}

std::string TempDirectoryTest::pathOf(const std::string& name) const { return (directory / name).string(); }

std::string TempDirectoryTest::writeBytes(const std::string& name, const std::string& bytes) const {
    // By the path itself: a narrow name would lose letters outside the code page.
    std::ofstream(directory / name, std::ios::binary | std::ios::trunc) << bytes;
    return pathOf(name);
}

std::string TempDirectoryTest::readBytes(const std::string& name) const {
    std::ifstream in(directory / name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string TempDirectoryTest::readText(const std::string& name) const {
    const std::string bytes = readBytes(name);
    if (!VARNIX_TEXT_FILES_CRLF) return bytes;
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') continue;
        if (bytes[i] == '\n' && (i == 0 || bytes[i - 1] != '\r')) text += "[LF without CR]";
        text += bytes[i];
    }
    return text;
}

}  // namespace VarnixTest
