// A spawned program with pipes on its three standard streams, for the end-to-end tests on Linux.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace lumvar::testing {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Both output streams are read whenever the caller waits, as a parent does, unless paused (a parent that
// stops reading one). `arguments` after the program's own name; `environment`: NAME=value added to ours.
class ChildProcess {
  public:
    explicit ChildProcess(const std::string& path, const std::vector<std::string>& arguments = {},
                          const std::vector<std::string>& environment = {}) {
        int in[2], out[2], err[2];
        if (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC) || ::pipe2(err, O_CLOEXEC))
            throw std::runtime_error("pipe");
        std::vector<std::string> words{path}, entries = environment;  // before fork: the child only execs
        words.insert(words.end(), arguments.begin(), arguments.end());
        for (char** entry = environ; *entry != nullptr; ++entry) entries.emplace_back(*entry);
        std::vector<char*> argv, envp;
        for (auto& word : words) argv.push_back(word.data());
        for (auto& entry : entries) envp.push_back(entry.data());
        argv.push_back(nullptr);
        envp.push_back(nullptr);
        if ((pid_ = ::fork()) == 0) {
            ::dup2(in[0], STDIN_FILENO);
            ::dup2(out[1], STDOUT_FILENO);
            ::dup2(err[1], STDERR_FILENO);
            sigset_t none;  // the test runner may block signals; the child starts from a clean mask
            sigemptyset(&none);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            ::execve(path.c_str(), argv.data(), envp.data());
            ::_exit(127);
        }
        for (const int fd : {in[0], out[1], err[1]}) ::close(fd);
        in_ = in[1], out_ = out[0], err_ = err[0];
        ::fcntl(in_, F_SETFL, O_NONBLOCK);  // write() never blocks: it reads the outputs while it waits
    }
    ~ChildProcess() {
        if (!status_) ::kill(pid_, SIGKILL), ::waitpid(pid_, nullptr, 0);
        for (const int fd : {in_, out_, err_})
            if (fd >= 0) ::close(fd);
    }
    pid_t pid() const { return pid_; }
    void write(std::string_view bytes) {  // all of it, reading the outputs meanwhile: neither side blocks
        while (!bytes.empty()) {
            pollfd writable{in_, POLLOUT, 0};
            if (::poll(&writable, 1, 20) > 0) {
                const ssize_t put = ::write(in_, bytes.data(), bytes.size());
                if (put < 0 && errno != EINTR && errno != EAGAIN) return;
                if (put > 0) bytes.remove_prefix(static_cast<std::size_t>(put));
            }
            pump(0ms);
        }
    }
    void closeStdin() { ::close(std::exchange(in_, -1)); }
    void closeStdout() { ::close(std::exchange(out_, -1)); }
    void signal(int number) { ::kill(pid_, number); }
    void pauseStdout(bool paused) { stdoutPaused_ = paused; }
    void pauseStderr(bool paused) { stderrPaused_ = paused; }
    // Waits until standard error contains `text` or the timeout passes; returns all of it so far.
    std::string waitForStderr(std::string_view text, std::chrono::milliseconds timeout) {
        for (const auto until = Clock::now() + timeout;
             stderr_.find(text) == std::string::npos && Clock::now() < until;)
            pump(20ms);
        return stderr_;
    }
    std::string stderrSoFar() { return pump(0ms), stderr_; }
    // Takes up to `limit` bytes of standard output, waiting for them at most `timeout`.
    std::string readStdout(std::size_t limit, std::chrono::milliseconds timeout) {
        for (const auto until = Clock::now() + timeout; stdout_.size() < limit && Clock::now() < until;)
            pump(20ms);
        std::string taken = stdout_.substr(0, limit);
        stdout_.erase(0, taken.size());
        return taken;
    }
    void discardStdout() { pump(0ms), stdout_.clear(); }
    // The exit status, minus the signal that ended the child, or nullopt while it runs after the timeout.
    std::optional<int> waitForExit(std::chrono::milliseconds timeout) {
        for (const auto until = Clock::now() + timeout;; pump(10ms)) {
            if (int status = 0; !status_ && ::waitpid(pid_, &status, WNOHANG) == pid_)
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
            if (status_ || Clock::now() >= until) return status_;
        }
    }

  private:
    void pump(std::chrono::milliseconds timeout) {
        pollfd pollers[2] = {{stderrPaused_ ? -1 : err_, POLLIN, 0}, {stdoutPaused_ ? -1 : out_, POLLIN, 0}};
        if (::poll(pollers, 2, static_cast<int>(timeout.count())) <= 0) return;
        char buffer[65536];
        for (const pollfd& poller : pollers) {
            if (poller.fd < 0 || (poller.revents & (POLLIN | POLLHUP)) == 0) continue;
            const ssize_t got = ::read(poller.fd, buffer, sizeof buffer);
            if (got > 0)
                (poller.fd == err_ ? stderr_ : stdout_).append(buffer, static_cast<std::size_t>(got));
            if (got == 0)
                ::close(std::exchange(poller.fd == err_ ? err_ : out_, -1));  // closed: no more polls
        }
    }
    pid_t pid_ = -1;
    int in_ = -1, out_ = -1, err_ = -1;
    std::string stderr_, stdout_;
    bool stdoutPaused_ = false, stderrPaused_ = false;
    std::optional<int> status_;
};

}  // namespace lumvar::testing
