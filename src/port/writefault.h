#pragma once
// A seam for tests of a full disk and of failed writes, so that they run on
// any machine, not only where a small file system can be mounted: a limit
// on the bytes that this process's file writes (AppendFile, BinaryFile) may
// still put on disk. Past it a write puts what fits and then fails as on a
// full disk, with the system's own error (ENOSPC; ERROR_DISK_FULL). No limit
// unless a test sets one. Any thread.

#include "port/status.h"

#include <cstddef>
#include <cstdint>

namespace Varnix::Port {

// From now on, file writes may put `bytes` more bytes on disk; -1 lifts the
// limit.
void limitFileWrites(std::int64_t bytes);

// How many of the `wanted` bytes the next write may put, counted as put:
// `wanted` without a limit, fewer near it, 0 once it is reached. For the
// file writers only.
std::size_t allowedWriteBytes(std::size_t wanted);

// The failure a write past the limit reports: the system's full disk.
Status diskFull();

}  // namespace Varnix::Port
