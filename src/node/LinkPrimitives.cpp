#include "node/LinkPrimitives.h"

#include "core/Exception.h"
#include "node/Protocol.h"
#include "port/binaryfile.h"
#include "port/clock.h"
#include "port/files.h"
#include "port/path.h"

#include <limits>
#include <vector>

namespace Varnix {

namespace {

void useTimeout(Port::StreamSocket* socket, int seconds) {
    if (socket->GetTimeout() != seconds) socket->SetTimeout(seconds);
}

// Closes the file on every way out of receiveFile. The file is created anew,
// never written through a link (see port/binaryfile.h); each piece goes to
// the system in one call.
class OpenFile {
public:
    OpenFile(String path, String* reason) : path(path), reason(reason) {
        failUnless(file.createReplacing(this->path.wideCString()));
    }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;

    void write(const void* buffer, std::size_t count) {
        if (count > 0) failUnless(file.write(buffer, count));
    }
    // A failed close is a failed write too.
    void close() { failUnless(file.close()); }

private:
    void failUnless(const Port::Status& done) {
        if (done.isOk()) return;
        if (reason != nullptr) *reason = String(done.text().c_str());
        throw Exception::fileError(path);
    }

    String path;
    String* reason;
    Port::BinaryFile file;
};

void writeSize(Port::StreamSocket* socket, std::int32_t size) {
    unsigned char bytes[4];
    encodeSignal(static_cast<std::uint32_t>(size), bytes);
    socket->Write(bytes, 4);
}

}  // namespace

bool isUsable(Port::StreamSocket* socket) { return socket && socket->IsOk() && !socket->IsClosed(); }

int writeSignal(Port::StreamSocket* socket, std::uint32_t value, int timeoutSeconds) {
    if (!isUsable(socket)) return 1;
    useTimeout(socket, timeoutSeconds);
    unsigned char bytes[4];
    encodeSignal(value, bytes);
    socket->Write(bytes, 4);
    return socket->LastWriteCount() == 4 && socket->IsOk() ? 0 : 1;
}

std::uint32_t readSignal(Port::StreamSocket* socket, int timeoutSeconds) {
    unsigned char bytes[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    if (isUsable(socket)) {
        useTimeout(socket, timeoutSeconds);
        socket->Read(bytes, 4);
    }
    return decodeSignal(bytes);
}

std::uint32_t PartialSignal::poll(Port::StreamSocket* socket) {
    if (!isUsable(socket)) return noSignal;
    useTimeout(socket, 0);
    socket->Read(bytes + have, 4 - have);
    have += socket->LastReadCount();
    if (have < 4) return noSignal;
    have = 0;
    return decodeSignal(bytes);
}

namespace {

// `count` bytes at `frame`, the NUL included, in one write.
int writeFrame(Port::StreamSocket* socket, const char* frame, std::uint32_t count) {
    if (!isUsable(socket)) return 1;
    useTimeout(socket, stringWriteTimeoutSeconds);
    socket->Write(frame, count);
    return socket->LastWriteCount() == count && socket->IsOk() ? 0 : 1;
}

}  // namespace

int writeString(Port::StreamSocket* socket, const String& text) {
    String copy(text);
    const char* narrow = copy.toNarrow();
    return writeFrame(socket, narrow, static_cast<std::uint32_t>(copy.narrowLength()));  // the NUL included
}

int writePath(Port::StreamSocket* socket, const String& path) {
    String copy(path);
    std::string bytes = Port::narrowPath(copy.wideCString());
    return writeFrame(socket, bytes.c_str(), static_cast<std::uint32_t>(bytes.size() + 1));
}

int readString(Port::StreamSocket* socket, String& text) {
    if (!isUsable(socket)) return 1;
    text.clear();
    long long deadline = Port::elapsedMilliseconds() + stringFrameDeadlineSeconds * 1000LL;
    for (std::int32_t received = 0;; ++received) {
        long long left = deadline - Port::elapsedMilliseconds();
        if (left <= 0) return 1;
        // Whole seconds, rounded up: the last read may end up to a second late.
        useTimeout(socket, int((left + 999) / 1000));
        char byte = 0;
        socket->Read(&byte, 1);
        if (socket->LastReadCount() != 1 || !socket->IsOk()) return 1;
        if (byte == '\0') return 0;
        if (received == maxStringFrameBytes) return 1;
        if (static_cast<unsigned char>(byte) < 0x80) {
            text.append(static_cast<char16_t>(byte));
        } else {
            // Widened alone, so only characters of one byte come through.
            text.append(String::fromNarrow(&byte, 1));
        }
    }
}

std::int32_t getFileSize(const String& path) {
    String copy(path);
    std::int64_t size = Port::fileSize(copy.wideCString());
    if (size < 0 || size > std::numeric_limits<std::int32_t>::max()) return -1;
    return static_cast<std::int32_t>(size);
}

Port::FileSendEnd sendFileFrame(Port::StreamSocket* socket, Port::InputFile& file, int timeoutSeconds) {
    using Port::FileSendEnd;
    if (!isUsable(socket)) return FileSendEnd::notStarted;
    auto cut = [socket] { return socket->IsOk() ? FileSendEnd::timedOut : FileSendEnd::connectionFailed; };
    auto size = static_cast<std::int32_t>(file.size());
    useTimeout(socket, timeoutSeconds);
    writeSize(socket, size);
    // A size that did not go out whole leaves the master out of step, even
    // for an empty file.
    if (socket->LastWriteCount() != 4 || !socket->IsOk()) return cut();
    // The content goes from the file to the connection without a copy here.
    FileSendEnd end = socket->WriteFile(file, 0, static_cast<std::uint32_t>(size));
    if (end == FileSendEnd::timedOut || end == FileSendEnd::connectionFailed) return cut();
    if (end != FileSendEnd::unsupported) return end;
    // A file system that cannot send its files so: through a buffer.
    std::vector<char> buffer(filePieceBytes);
    for (std::uint32_t remaining = static_cast<std::uint32_t>(size); remaining > 0;) {
        std::uint32_t piece = remaining < filePieceBytes ? remaining : filePieceBytes;
        for (std::uint32_t filled = 0; filled < piece;) {
            long long got = file.read(buffer.data() + filled, piece - filled);
            if (got < 0) return FileSendEnd::fileReadFailed;
            if (got == 0) return FileSendEnd::fileShrank;
            filled += static_cast<std::uint32_t>(got);
        }
        socket->Write(buffer.data(), piece);
        remaining -= piece;
        if (socket->LastWriteCount() != piece || !socket->IsOk()) return cut();
    }
    return FileSendEnd::sent;
}

int sendFile(Port::StreamSocket* socket, const String& path, int timeoutSeconds) {
    if (!isUsable(socket)) return 1;
    String copy(path);
    Port::InputFile file(copy.wideCString());
    if (file.status() != Port::InputFile::Status::opened || file.size() > std::numeric_limits<std::int32_t>::max())
        return 1;
    return sendFileFrame(socket, file, timeoutSeconds) == Port::FileSendEnd::sent ? 0 : 1;
}

std::int32_t readFileFrameSize(Port::StreamSocket* socket) {
    if (!isUsable(socket)) return -1;
    useTimeout(socket, fileReceiveTimeoutSeconds);
    unsigned char bytes[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    socket->Read(bytes, 4);
    std::int32_t size = static_cast<std::int32_t>(decodeSignal(bytes));
    return socket->LastReadCount() == 4 && size >= 0 ? size : -1;
}

int receiveFile(Port::StreamSocket* socket, const String& path, String* failure, const std::int32_t* sizeRead) {
    if (!isUsable(socket)) return 1;
    try {
        OpenFile file(path, failure);
        std::int32_t size = sizeRead != nullptr ? *sizeRead : readFileFrameSize(socket);
        if (size < 0) return 1;
        useTimeout(socket, fileReceiveTimeoutSeconds);
        std::vector<char> buffer(filePieceBytes);
        for (std::uint32_t remaining = static_cast<std::uint32_t>(size); remaining > 0;) {
            std::uint32_t piece = remaining < filePieceBytes ? remaining : filePieceBytes;
            socket->Read(buffer.data(), piece);
            // Only what came from the sender goes into the file.
            file.write(buffer.data(), socket->LastReadCount());
            remaining -= piece;
            if (socket->LastReadCount() != piece || !socket->IsOk()) return 1;
        }
        file.close();
        return 0;
    } catch (const Exception& error) {
        if (failure != nullptr)
            *failure = failure->isEmpty() ? error.getMessage() : error.getMessage() + u": " + *failure;
        return 1;
    }
}

}  // namespace Varnix
