#pragma once

#include <sys/types.h>

#include "audio/platform_audio.h"

namespace lumvar::app {

// Blocks SIGINT and SIGTERM in the calling thread and every thread it starts later, so that only the
// signal watcher receives them, and ignores SIGPIPE. Call before any thread exists.
void blockTerminationSignals();

// The whole helper on the standard streams: start-up, the command reader, the watchdog and the signal
// watcher, then the main queue until the process ends. Never returns: the process exits with its status
// as soon as everything of the audio system is released, without waiting for the threads that block
// on standard input and on signals. Standard output and standard error are unbuffered, so nothing is lost.
// `parentAtLaunch` is getppid() as the process started.
[[noreturn]] void runHelper(audio::PlatformAudio& hw, pid_t parentAtLaunch);

}  // namespace lumvar::app
