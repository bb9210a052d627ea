#include "common/fd_sink.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <thread>
#include <vector>

#include "common/errno_name.h"

namespace lumvar {
namespace {

using namespace std::chrono_literals;

struct Pipe {
    int read = -1;
    int write = -1;
    Pipe() {
        int fds[2];
        if (::pipe(fds) == 0) read = fds[0], write = fds[1];
    }
    ~Pipe() {
        closeRead();
        if (write >= 0) ::close(write);
    }
    void closeRead() {
        if (read >= 0) ::close(read);
        read = -1;
    }
};

void setNonBlocking(int fd) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// A handler that only interrupts: installed without SA_RESTART, so a blocked call returns EINTR.
void installInterrupter() {
    struct sigaction action {};
    action.sa_handler = [](int) {};
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGUSR1, &action, nullptr);
}

// A full pipe, a reader that pauses and signals that interrupt the waiting writer: a non-blocking
// descriptor is waited on, an interrupted write or wait goes on, and every byte arrives in order.
TEST(FdSink, AFullDescriptorIsWaitedOnThroughInterruptionsAndLosesNothing) {
    installInterrupter();
    for (const bool nonBlocking : {true, false}) {
        SCOPED_TRACE(nonBlocking ? "non-blocking" : "blocking");
        Pipe pipe;
        if (nonBlocking) setNonBlocking(pipe.write);
        std::vector<unsigned char> sent(1 << 20);
        for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<unsigned char>(i * 7 + i / 251);
        FdSink sink(pipe.write);
        std::vector<int> failures;
        sink.onFailure([&](int error) { failures.push_back(error); });
        std::atomic<bool> done{false};
        bool written = false;
        std::thread writer([&] {
            written = sink.write(std::as_bytes(std::span(sent)));
            done = true;
        });
        for (int i = 0; i < 5; ++i) {  // the writer waits in the full pipe meanwhile
            std::this_thread::sleep_for(40ms);
            pthread_kill(writer.native_handle(), SIGUSR1);
        }
        EXPECT_FALSE(done.load());
        std::vector<unsigned char> got;
        std::vector<unsigned char> chunk(65536);
        for (;;) {  // until the writer is done and the pipe is empty
            const bool finished = done.load();
            pollfd entry{pipe.read, POLLIN, 0};
            if (::poll(&entry, 1, 100) <= 0) {
                if (finished) break;
                continue;
            }
            const ssize_t n = ::read(pipe.read, chunk.data(), chunk.size());
            if (n > 0) got.insert(got.end(), chunk.begin(), chunk.begin() + n);
        }
        writer.join();
        EXPECT_TRUE(written);
        EXPECT_TRUE(failures.empty());
        EXPECT_FALSE(sink.failed());
        EXPECT_TRUE(got == sent);
    }
}

// Every other error fails the write, once told with its errno, whether the descriptor blocks or not.
TEST(FdSink, EveryOtherErrorFailsTheWriteWithItsErrno) {
    std::signal(SIGPIPE, SIG_IGN);  // as the helper has it: a closed pipe is EPIPE from write
    struct Case {
        const char* what;
        int fd;
        int error;
    };
    Pipe gone;
    gone.closeRead();
    setNonBlocking(gone.write);
    Pipe readOnly;
    const int full = ::open("/dev/full", O_WRONLY | O_NONBLOCK);
    ASSERT_GE(full, 0);
    const int closed = ::dup(full);
    ::close(closed);
    for (const Case& c : {Case{"reader gone", gone.write, EPIPE}, Case{"full device", full, ENOSPC},
                          Case{"read end", readOnly.read, EBADF}, Case{"closed", closed, EBADF}}) {
        SCOPED_TRACE(c.what);
        FdSink sink(c.fd);
        std::vector<int> failures;
        sink.onFailure([&](int error) { failures.push_back(error); });
        EXPECT_FALSE(sink.write(std::string_view("samples")));
        EXPECT_TRUE(sink.failed());
        EXPECT_EQ(failures, std::vector<int>{c.error});
    }
    ::close(full);
}

TEST(ErrnoName, NamesTheTableAndNumbersTheRest) {
    EXPECT_EQ(errnoName(ENOSPC), "ENOSPC");
    EXPECT_EQ(errnoName(EIO), "EIO");
    EXPECT_EQ(errnoName(EBADF), "EBADF");
    EXPECT_EQ(errnoName(EFBIG), "EFBIG");
    EXPECT_EQ(errnoName(EINVAL), "EINVAL");
    EXPECT_EQ(errnoName(EROFS), "errno " + std::to_string(EROFS));
    EXPECT_EQ(errnoName(0), "errno 0");
}

}  // namespace
}  // namespace lumvar
