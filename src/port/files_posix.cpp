#include "port/files.h"

#include "port/binaryfile.h"
#include "port/path.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace Varnix::Port {

std::u16string workingDirectory() {
    // No length limit of its own: the buffer grows until the name fits.
    for (std::string buffer(4096, '\0');; buffer.resize(buffer.size() * 2)) {
        if (::getcwd(&buffer[0], buffer.size())) return pathFromSystem(buffer.c_str());
        if (errno != ERANGE) return std::u16string();
    }
}

bool makeDirectory(const char16_t* path) { return ::mkdir(narrowPath(path).c_str(), 0777) == 0; }

bool isRegularFile(const char16_t* path) {
    struct stat st;
    return ::stat(narrowPath(path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::int64_t fileSize(const char16_t* path) {
    struct stat st;
    // lstat: a link is no regular file, whatever it points to.
    if (::lstat(narrowPath(path).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return std::int64_t(st.st_size);
}

bool deleteFile(const char16_t* path) { return ::unlink(narrowPath(path).c_str()) == 0; }

bool copyFile(const char16_t* from, const char16_t* to) {
    BinaryFile in, out;
    // Neither end is reached through a link: `to` may lie in a directory
    // that anybody can write (/tmp).
    if (!in.openForReading(from).isOk() || !out.createReplacing(to).isOk()) return false;
    char buffer[65536];
    for (;;) {
        long long got = in.read(buffer, sizeof buffer);
        if (got < 0) return false;
        if (got == 0) break;
        if (!out.write(buffer, std::size_t(got)).isOk()) return false;
    }
    return out.close().isOk();
}

Status canAppendTo(const char16_t* path) {
    int fd = ::open(narrowPath(path).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return Status::lastFileError();
    ::close(fd);
    return Status();
}

const char16_t* developmentDumpCopyPrefix() { return u"/tmp/dump"; }

InputFile::InputFile(const char16_t* path) {
    std::string narrow = narrowPath(path);
    auto fail = [this](Status status, int error) {
        state = status;
        why = Port::Status::fromSystem(error);
    };
    struct stat st;
    // A link is never followed: what it points to may lie anywhere. One that
    // leads nowhere is reported as before.
    struct stat self;
    if (::lstat(narrow.c_str(), &self) == 0 && S_ISLNK(self.st_mode) && ::stat(narrow.c_str(), &st) == 0) {
        state = Status::link;
        return;
    }
    if (::stat(narrow.c_str(), &st) != 0) {
        int error = errno;
        struct stat entry;
        if (error == ENOENT && ::lstat(narrow.c_str(), &entry) != 0)
            fail(Status::gone, error);
        else if (error == ENOENT || error == ELOOP)
            fail(Status::noTarget, error);
        else
            fail(Status::unreadable, error);
        return;
    }
    // Opening a FIFO for reading would wait for a writer; a device may act
    // on being opened. Neither is opened at all.
    if (!S_ISREG(st.st_mode)) {
        state = Status::notRegular;
        return;
    }
    // Non-blocking, in case something else was put there since the check.
    int fd = ::open(narrow.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        if (errno == ELOOP)
            state = Status::link;
        else
            fail(errno == ENOENT ? Status::gone : Status::unreadable, errno);
        return;
    }
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        state = Status::notRegular;
        return;
    }
    handle = fd;
    bytes = std::int64_t(st.st_size);
    id.volume = std::uint64_t(st.st_dev);
    id.index = std::uint64_t(st.st_ino);
    state = Status::opened;
}

InputFile::~InputFile() { close(); }

long long InputFile::read(void* buffer, std::size_t count) {
    if (handle < 0) return -1;
    for (;;) {
        ssize_t got = ::read(int(handle), buffer, count);
        if (got >= 0) return got;
        if (errno != EINTR) return -1;
    }
}

long long InputFile::readAt(std::int64_t offset, void* buffer, std::size_t count) {
    if (handle < 0 || offset < 0) return -1;
    for (;;) {
        ssize_t got = ::pread(int(handle), buffer, count, off_t(offset));
        if (got >= 0) return got;
        if (errno != EINTR) return -1;
    }
}

void InputFile::close() {
    if (handle < 0) return;
    ::close(int(handle));
    handle = -1;
}

struct FileSearch::State {
    DIR* dir = nullptr;
    std::string directory;  // with its trailing slash, for stat of entries
    std::string pattern;    // the last component
    std::u16string name;
    bool isDirectory = false;
    bool hasEntry = false;
};

FileSearch::FileSearch(const char16_t* pattern) : state(new State) {
    std::string full = narrowPath(pattern);
    std::size_t slash = full.rfind('/');
    state->directory = slash == std::string::npos ? std::string() : full.substr(0, slash + 1);
    state->pattern = slash == std::string::npos ? full : full.substr(slash + 1);
    state->dir = ::opendir(state->directory.empty() ? "." : state->directory.c_str());
    next();
}

FileSearch::~FileSearch() {
    if (state->dir) ::closedir(state->dir);
    delete state;
}

bool FileSearch::hasEntry() const { return state->hasEntry; }

const char16_t* FileSearch::name() const { return state->name.c_str(); }

bool FileSearch::isDirectory() const { return state->isDirectory; }

void FileSearch::next() {
    state->hasEntry = false;
    if (!state->dir) return;
    while (dirent* entry = ::readdir(state->dir)) {
        if (::fnmatch(state->pattern.c_str(), entry->d_name, 0) != 0) continue;
        struct stat st;
        std::string path = state->directory + entry->d_name;
        state->isDirectory = ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        state->name = pathFromSystem(entry->d_name);
        state->hasEntry = true;
        return;
    }
    // The entries have run out: close now, as the Windows search does.
    ::closedir(state->dir);
    state->dir = nullptr;
}

std::int64_t freeSpaceBytes(const char16_t* folder) {
    struct statvfs disk;
    if (::statvfs(narrowPath(folder).c_str(), &disk) != 0) return -1;
    return std::int64_t(disk.f_bavail) * std::int64_t(disk.f_frsize);
}

}  // namespace Varnix::Port
