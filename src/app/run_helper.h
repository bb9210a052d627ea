#pragma once

#include <sys/types.h>

namespace lumvar::app {

// The whole helper on the standard streams: the signal watcher, the platform's audio system, start-up,
// the output writer, the command reader and the termination deadline, then the main queue until the
// process ends. Never returns: the process exits with its status as soon as everything of the audio
// system is released and standard output is drained (for at most 1 s), without waiting for the threads
// that block on standard input, on signals and on the deadline.
//
// Signals: SIGINT and SIGTERM end the process at once, as their default action would, until start-up
// has finished; from then on they start the clean end, and the process is gone within 1.5 s whatever
// blocks. SIGPIPE is ignored: a closed standard output shows up as EPIPE and ends the process too.
// `parentAtLaunch` is getppid() as the process started.
[[noreturn]] void runHelper(pid_t parentAtLaunch);

}  // namespace lumvar::app
