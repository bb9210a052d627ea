#include "support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <stdexcept>
#include <thread>

namespace lumvar::testing {
namespace {

[[noreturn]] void execChild(const std::string& path, char* const* arguments, char* const* environment, int in,
                            int out, int err) {
    ::dup2(in, STDIN_FILENO);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(err, STDERR_FILENO);
    // The test runner may block signals; the child starts from a clean mask.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(path.c_str(), arguments, environment);
    ::_exit(127);
}

}  // namespace

ChildProcess::ChildProcess(const std::string& path, const Options& options) {
    int in[2], out[2], err[2], report[2], release[2];
    if (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC) || ::pipe2(err, O_CLOEXEC) ||
        ::pipe2(report, O_CLOEXEC) || ::pipe2(release, O_CLOEXEC))
        throw std::runtime_error("pipe");
    if (options.nonBlockingStdout) ::fcntl(out[1], F_SETFL, ::fcntl(out[1], F_GETFL) | O_NONBLOCK);
    if (options.orphan) ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    // Built before fork: the child may only exec.
    std::vector<std::string> entries = options.environment;
    for (char** entry = environ; *entry != nullptr; ++entry) entries.emplace_back(*entry);
    std::vector<char*> environment;
    for (auto& entry : entries) environment.push_back(entry.data());
    environment.push_back(nullptr);
    std::vector<std::string> words{path};
    words.insert(words.end(), options.arguments.begin(), options.arguments.end());
    std::vector<char*> arguments;
    for (auto& word : words) arguments.push_back(word.data());
    arguments.push_back(nullptr);
    const pid_t first = ::fork();
    if (first == 0) {
        if (!options.orphan) execChild(path, arguments.data(), environment.data(), in[0], out[1], err[1]);
        const pid_t child = ::fork();
        if (child == 0) execChild(path, arguments.data(), environment.data(), in[0], out[1], err[1]);
        (void)!::write(report[1], &child, sizeof child);
        char go = 0;
        ::close(release[1]);
        (void)!::read(release[0], &go, 1);
        ::_exit(0);  // the child is orphaned here
    }
    if (options.orphan) {
        (void)!::read(report[0], &pid_, sizeof pid_);
        middle_ = first;
        release_ = release[1];
    } else {
        pid_ = first;
        ::close(release[1]);
    }
    ::close(release[0]);
    ::close(report[0]);
    ::close(report[1]);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    in_ = in[1];
    ::fcntl(in_, F_SETFL, O_NONBLOCK);  // write() never blocks: it reads the outputs while it waits
    out_ = out[0];
    err_ = err[0];
}

ChildProcess::~ChildProcess() {
    endParent();
    if (!exited_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    for (int fd : {in_, out_, err_})
        if (fd >= 0) ::close(fd);
}

void ChildProcess::write(std::string_view bytes) {
    while (!bytes.empty()) {
        pollfd writable{in_, POLLOUT, 0};
        if (::poll(&writable, 1, 20) <= 0) {
            pump(std::chrono::milliseconds(0));
            continue;
        }
        const ssize_t put = ::write(in_, bytes.data(), std::min<std::size_t>(bytes.size(), 65536));
        if (put < 0 && errno != EINTR && errno != EAGAIN) return;
        if (put > 0) bytes.remove_prefix(static_cast<std::size_t>(put));
        pump(std::chrono::milliseconds(0));
    }
}

void ChildProcess::endParent() {
    if (middle_ < 0) return;
    ::close(release_);
    release_ = -1;
    ::waitpid(middle_, nullptr, 0);
    middle_ = -1;
}

void ChildProcess::pump(std::chrono::milliseconds timeout) {
    pollfd pollers[2] = {{stderrPaused_ ? -1 : err_, POLLIN, 0}, {stdoutPaused_ ? -1 : out_, POLLIN, 0}};
    if (::poll(pollers, 2, static_cast<int>(timeout.count())) <= 0) return;
    char buffer[65536];
    for (auto& poller : pollers) {
        if (poller.fd < 0 || (poller.revents & (POLLIN | POLLHUP)) == 0) continue;
        const ssize_t got = ::read(poller.fd, buffer, sizeof buffer);
        if (got > 0) (poller.fd == err_ ? stderr_ : stdout_).append(buffer, static_cast<std::size_t>(got));
        if (got == 0) {  // closed: stop polling it
            ::close(poller.fd);
            (poller.fd == err_ ? err_ : out_) = -1;
        }
    }
}

std::string ChildProcess::waitForStderr(std::string_view text, std::chrono::milliseconds timeout) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (stderr_.find(text) == std::string::npos && std::chrono::steady_clock::now() < until)
        pump(std::chrono::milliseconds(20));
    return stderr_;
}

std::string ChildProcess::readStdout(std::size_t limit, std::chrono::milliseconds timeout) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (stdout_.size() < limit && std::chrono::steady_clock::now() < until)
        pump(std::chrono::milliseconds(20));
    std::string taken = stdout_.substr(0, limit);
    stdout_.erase(0, taken.size());
    return taken;
}

std::optional<int> ChildProcess::waitForExit(std::chrono::milliseconds timeout) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            exited_ = true;
            if (WIFEXITED(status)) return WEXITSTATUS(status);
            if (WIFSIGNALED(status)) deathSignal_ = WTERMSIG(status);
            return std::nullopt;
        }
        if (std::chrono::steady_clock::now() >= until) return std::nullopt;
        pump(std::chrono::milliseconds(10));
    }
}

}  // namespace lumvar::testing
