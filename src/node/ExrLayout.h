#pragma once
// Whether an EXR file holds all the data its own header and chunk offset
// table promise, told from the file's structure alone: the header, the
// offset table and the header of the chunk that lies furthest in; no pixel
// is decoded. A renderer that writes its dumps in place on a full disk
// leaves files that begin like an EXR and end before their data does.
//
// Free of other includes of the node, so that drmaster checks what it
// receives with the same code. Any thread.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace Varnix {

struct ExrLayout {
    enum class Verdict {
        whole,       // every chunk the table lists lies within the file
        cut,         // under 8 bytes, or the file ends before its header, its table or a chunk does
        notChecked,  // not a single-part flat EXR this check knows (no magic, deep, multi-part)
    };
    Verdict verdict = Verdict::notChecked;
    // For a cut file: what it lacks, in words ("12 of its 64 chunks of pixel
    // data", "its chunk offset table", "the rest of its header").
    std::string lacks;
};

// Reads up to `count` bytes at `offset` into `buffer`: the count read (fewer
// at the end of the file), -1 on a failure.
using ReadAt = std::function<long long(std::int64_t offset, void* buffer, std::size_t count)>;

// Checks a file of `fileSize` bytes through `readAt`: three reads for a
// usual dump (the header, the offset table, one chunk header). A file that
// cannot be read is notChecked.
ExrLayout checkExrLayout(std::int64_t fileSize, const ReadAt& readAt);

}  // namespace Varnix
