#pragma once

#include <fstream>
#include <string>

namespace Varnix::Peer {

// Appends "key: value" lines to the record file, so that tests (and admins)
// can see what the stand-in was given and what happened. Each line is
// flushed at once, so a reader sees it while the stand-in still runs.
// A file that cannot be opened makes every call do nothing. One thread.
class Recorder {
public:
    explicit Recorder(const std::string& path);

    void line(const std::string& key, const std::string& value = std::string());

    const std::string& path() const { return filePath; }
    bool isOpen() const { return out.is_open(); }

private:
    std::string filePath;
    std::ofstream out;
};

}  // namespace Varnix::Peer
