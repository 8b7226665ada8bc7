#pragma once
// One render job for one master: parameters, choice of the 3ds Max
// version, the scene, the renderer's command line, the wait for 3ds Max, the
// relay of dumps and END, and the clean-up.

#include "core/String.h"

class RenderService;
namespace Varnix {
class SocketHolder;
}

// Runs the whole job on the calling thread (serverThread) and returns when
// it is over; every outcome is only logged. The master connection stays
// owned, and is closed, by the caller.
void runRenderJob(RenderService& service, Varnix::SocketHolder& master);

// maxInvoker's task: runs the command line (a Varnix::String owned by the
// job, which keeps it alive until the task has returned) through the command
// interpreter and returns when it has finished. The exit code is dropped.
void runCommand(void* commandLine);
