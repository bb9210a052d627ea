#pragma once

#include <signal.h>
#include <sys/types.h>
#include <unistd.h>
#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace lumvar::testing {

// A spawned program with pipes on its three standard streams.
class ChildProcess {
  public:
    struct Options {
        std::vector<std::string> arguments = {};    // after the program's own name
        std::vector<std::string> environment = {};  // NAME=value entries added to ours
        // Spawn through a middle process that ends on endParent(), so that the child outlives its
        // parent. The caller becomes a sub-reaper and so still collects the child.
        bool orphan = false;
        // The child's standard output in non-blocking mode, as some parents hand it over.
        bool nonBlockingStdout = false;
    };
    ChildProcess(const std::string& path, const Options& options);
    ~ChildProcess();
    pid_t pid() const { return pid_; }
    // Writes all of `bytes`, reading the child's output meanwhile so that neither side can block.
    void write(std::string_view bytes);
    void closeStdin() { ::close(std::exchange(in_, -1)); }
    void closeStdout() { ::close(std::exchange(out_, -1)); }
    void signal(int number) { ::kill(pid_, number); }
    // With `orphan`: ends the middle process, the child's parent.
    void endParent();
    // Both output streams are read whenever the caller waits, as a parent does: a child blocked on
    // a full pipe could not go on. A parent that stops reading standard output is played by
    // pauseStdout(true): from then on only standard error is read until pauseStdout(false).
    void pauseStdout(bool paused) { stdoutPaused_ = paused; }
    void pauseStderr(bool paused) { stderrPaused_ = paused; }
    // Waits until standard error contains `text` or the timeout passes; returns all of it so far.
    std::string waitForStderr(std::string_view text, std::chrono::milliseconds timeout);
    std::string stderrSoFar() { return pump(std::chrono::milliseconds(0)), stderr_; }
    // Takes up to `limit` bytes of standard output, waiting for them at most `timeout`.
    std::string readStdout(std::size_t limit, std::chrono::milliseconds timeout);
    // Drops what standard output has delivered so far.
    void discardStdout() { pump(std::chrono::milliseconds(0)), stdout_.clear(); }
    // The exit status, or nullopt if the child has not exited within the timeout (or died by a signal).
    std::optional<int> waitForExit(std::chrono::milliseconds timeout);
    // The signal that ended the child, once waitForExit has seen it die by one.
    std::optional<int> deathSignal() const { return deathSignal_; }

  private:
    void pump(std::chrono::milliseconds timeout);
    pid_t pid_ = -1;
    pid_t middle_ = -1;
    int release_ = -1;
    int in_ = -1, out_ = -1, err_ = -1;
    std::string stderr_;
    std::string stdout_;
    bool exited_ = false;
    bool stdoutPaused_ = false;
    bool stderrPaused_ = false;
    std::optional<int> deathSignal_;
};

}  // namespace lumvar::testing
