#pragma once
// What a job's parameters decide before anything runs: the frame, the 3ds Max
// version that renders, and the renderer's command line. Pure functions,
// any thread.

#include "config/NodeSettings.h"
#include "core/String.h"

#include <functional>
#include <string>

namespace Varnix {

struct JobParameters {
    int requestedVersion = 0;  // 0 when the text has no leading number
    int frame = 0;             // 0 when no second number follows
};

// Reads two decimal integers from the text; a field that cannot be read
// stays 0, and after a failed field the next is not read. The rest of the
// text is ignored.
JobParameters parseJobParameters(const String& parameters);

// The version that renders a scene saved with `requested`: the requested one
// when configured, else the nearest newer configured one, never an older
// one. 0 when there is none (the job is refused).
int chooseHostVersion(const NodeSettings& settings, int requested);

// The command line that renders `frame` of `scenePath` with the
// 3dsmaxcmd.exe in `installDirectory` (taken as it is, no separator added)
// into dataDirectory + "/dr_out.png", appending the renderer's output to
// dataDirectory + "/MaxLog.txt". Valid for cmd.exe and /bin/sh alike; the
// three paths are quoted so that the interpreter sees them as text, which
// leaves ordinary paths unchanged.
String buildRenderCommand(const String& installDirectory, const String& scenePath, const String& dataDirectory,
                          int frame);

// The first reference %NAME% in `text` that the command interpreter would
// replace by a value even inside double quotes, where cmd.exe has no escape
// for it; `expands` says whether the interpreter replaces a given NAME (the
// part before any ':', as in %NAME:~0,3%). Each '%' is paired with the next
// one. Empty when there is none.
std::u16string firstExpandedReference(const std::u16string& text,
                                      const std::function<bool(const std::u16string&)>& expands);

}  // namespace Varnix
