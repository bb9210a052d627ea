#include "app/run_helper.h"

#include <csignal>
#include <cstdlib>
#include <pthread.h>
#include <thread>
#include <unistd.h>

#include "app/command_reader.h"
#include "app/process.h"
#include "common/fd_sink.h"

namespace lumvar::app {
namespace {

sigset_t terminationSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

}  // namespace

void blockTerminationSignals() {
    const sigset_t set = terminationSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::signal(SIGPIPE, SIG_IGN);  // a closed pipe shows up as EPIPE from write instead
}

void runHelper(audio::PlatformAudio& hw, pid_t parentAtLaunch) {
    blockTerminationSignals();

    FdSink out(STDOUT_FILENO);
    FdSink err(STDERR_FILENO);
    RealSleeper sleeper;
    RandomUuids uuids;
    PosixParentProbe parent(parentAtLaunch);
    MainQueue queue;
    Process process({hw, out, err, platformText(), sleeper, uuids, parent, queue});
    out.onFailure([&process](int error) { process.outputFailed(error); });

    // The reader and the watcher block for the life of the process and are never joined.
    const Process::Hooks hooks{
        .startCommandReader =
            [&process] {
                std::thread([&process] {
                    readCommands(STDIN_FILENO, platformText(), [&process](Command command) { process.post(std::move(command)); });
                }).detach();
            },
        .installSignalHandling =
            [&process] {
                std::thread([&process] {
                    const sigset_t set = terminationSignals();
                    for (;;) {
                        int signal = 0;
                        if (sigwait(&set, &signal) == 0) process.requestTermination();
                    }
                }).detach();
            },
    };
    const int status = process.start(hooks) ? queue.run() : 1;
    std::_Exit(status);
}

}  // namespace lumvar::app
