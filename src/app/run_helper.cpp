#include "app/run_helper.h"

#include <pthread.h>
#include <unistd.h>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <thread>

#include "app/command_reader.h"
#include "app/output_writer.h"
#include "app/process.h"
#include "app/status_writer.h"
#include "app/termination_deadline.h"
#include "audio/platform_backend.h"
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

// Blocks SIGINT and SIGTERM in this thread and in every thread started later (the audio system's own
// among them), so that only the watcher ever receives them.
void blockTerminationSignals() {
    const sigset_t set = terminationSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::signal(SIGPIPE, SIG_IGN);  // a closed pipe shows up as EPIPE from write instead
}

// Receives SIGINT and SIGTERM for the life of the process. Until start-up has finished (no process is
// running yet) a signal ends the process at once, as its default action would.
void watchSignals(std::atomic<Process*>& running) {
    std::thread([&running] {
        const sigset_t set = terminationSignals();
        for (;;) {
            int signal = 0;
            if (sigwait(&set, &signal) != 0) continue;
            Process* process = running.load(std::memory_order_acquire);
            if (process == nullptr) TerminationDeadline::dieBy(signal);
            process->requestTermination(signal);
        }
    }).detach();
}

}  // namespace

void runHelper(pid_t parentAtLaunch) {
    blockTerminationSignals();
    static std::atomic<Process*> running{nullptr};
    watchSignals(running);

    const auto hw = audio::makePlatformAudio();
    capture::SampleOutput output;
    FdSink out(STDOUT_FILENO);
    FdSink errFd(STDERR_FILENO);
    StatusWriter err(errFd);
    err.start();
    RealSleeper sleeper;
    RandomUuids uuids;
    PosixParentProbe parent(parentAtLaunch);
    MainQueue queue;
    queue.setAfterEachItem([&err] { err.endItem(); });
    Process* self = nullptr;
    TerminationDeadline deadline(parent, [&self] { self->requestTermination(SIGTERM); });
    Process process({*hw, output, err, platformText(), sleeper, uuids, parent, queue,
                     [&deadline](int signal) { deadline.arm(signal); }});
    self = &process;
    out.onFailure([&process](int error) { process.outputFailed(error); });
    OutputWriter writer(
        output, out, [&process] { process.outputNotice(); }, &err);
    writer.start();
    deadline.start();

    // The reader blocks for the life of the process and is never joined.
    const Process::Hooks hooks{
        .startCommandReader =
            [&process] {
                std::thread([&process] {
                    readCommands(STDIN_FILENO, platformText(),
                                 {[&process](std::string line) { process.post(std::move(line)); },
                                  [&process](std::size_t bytes) { process.reportOverlong(bytes); }});
                }).detach();
            },
        .installSignalHandling = [&process] { running.store(&process, std::memory_order_release); },
    };
    const bool started = process.start(hooks);
    err.endItem();  // start-up's lines
    const int status = started ? queue.run() : 1;
    // What was queued before the end began still goes out, within the deadline.
    if (status == 0) writer.finish(deadline.drainDeadline());
    err.finish(deadline.drainDeadline());
    std::_Exit(status);
}

}  // namespace lumvar::app
