#pragma once

#include "port/status.h"

#include <cstdio>
#include <string>

// Opening text files and the platform's text-mode conventions. Paths are in
// the one form of path.h. Every open returns null on failure; the caller
// owns the stream and closes it with fclose.

namespace Varnix::Port {

// Opens an existing file (not a directory) for reading in text mode.
std::FILE* openTextForReading(const char16_t* path);

// Opens the same for reading its bytes as they are (no text-mode changes).
std::FILE* openBytesForReading(const char16_t* path);

// Why `path` cannot be opened for reading, asked after an open for reading
// failed: a failure that isNotFound() only when the system says that nothing
// is there (a new file may be made); another failure with the system's
// reason when something is there that cannot be read now; ok when it opens
// after all.
Status canReadTextFile(const char16_t* path);

// The writers below never write through a symbolic link (on Windows, any
// reparse point): the folders the node writes in may be writable by other
// local programs. A link at `path` fails the open and is left in place.

// Creates or truncates for writing in text mode (line feeds become CR LF on
// Windows; stay LF elsewhere).
std::FILE* openTextForWriting(const char16_t* path);

// Creates a new file for writing in text mode; fails when anything is at
// `path` already (a file, or a link, even one that leads nowhere).
std::FILE* openTextForCreating(const char16_t* path);

// True when `path` itself is a symbolic link (on Windows, a reparse point),
// whether or not it leads anywhere. Never follows it.
bool isSymbolicLink(const char16_t* path);

// fgets with text-mode reading on every platform: at most size - 1 bytes,
// ending after the first line feed, with a carriage return before a line
// feed dropped. Returns null at end of file or on a read error.
char* readTextChunk(char* buffer, int size, std::FILE* file);

// A "C" locale for formatted writes; null if it could not be made.
using TextLocale = void*;
TextLocale createCLocale();
void freeCLocale(TextLocale locale);

// Writes `value` as "%d" in the given "C" locale (ASCII digits, '-' for
// negatives, no grouping). Result not reported.
void writeDecimal(std::FILE* file, TextLocale locale, int value);

}  // namespace Varnix::Port
