// Runs a fuzz target's entry point once per input file, for builds without
// libFuzzer: arguments are files or directories (every regular file in them,
// in name order). A fault shows as a crash or a sanitizer report; otherwise
// the exit status is 0. A missing directory counts as empty.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

void runFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::printf("replay %s (%zu bytes)\n", path.c_str(), bytes.size());
    std::fflush(stdout);
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

}  // namespace

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    int count = 0;
    for (int i = 1; i < argc; ++i) {
        fs::path argument(argv[i]);
        std::error_code error;
        if (fs::is_directory(argument, error)) {
            std::vector<fs::path> files;
            for (const auto& entry : fs::directory_iterator(argument))
                if (entry.is_regular_file()) files.push_back(entry.path());
            std::sort(files.begin(), files.end());
            for (const auto& file : files) {
                runFile(file);
                ++count;
            }
        } else if (fs::is_regular_file(argument, error)) {
            runFile(argument);
            ++count;
        }
    }
    std::printf("%d inputs replayed without a fault\n", count);
    return 0;
}
