#include "common/fd_sink.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <thread>
#include <vector>

namespace lumvar {
namespace {

// A full pipe, a reader that pauses and signals that interrupt the waiting writer (a handler without
// SA_RESTART, so a blocked call returns EINTR): a non-blocking descriptor is waited on, an interrupted
// write or wait goes on, and every byte arrives in order.
TEST(FdSink, AFullDescriptorIsWaitedOnThroughInterruptionsAndLosesNothing) {
    struct sigaction action {};
    action.sa_handler = [](int) {};
    ::sigaction(SIGUSR1, &action, nullptr);
    std::vector<unsigned char> sent(1 << 20), chunk(65536);
    for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<unsigned char>(i * 7 + i / 251);
    for (const bool nonBlocking : {true, false}) {
        SCOPED_TRACE(nonBlocking);
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        if (nonBlocking) ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
        FdSink sink(fds[1]);
        sink.onFailure([](int error) { ADD_FAILURE() << "told of errno " << error; });
        std::atomic<bool> done{false};
        bool written = false;
        std::thread writer(
            [&] { written = sink.write(std::as_bytes(std::span(sent))), done = true, ::close(fds[1]); });
        for (int i = 0; i < 5; ++i) {  // the writer waits in the full pipe meanwhile
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
            pthread_kill(writer.native_handle(), SIGUSR1);
        }
        EXPECT_FALSE(done.load());
        std::vector<unsigned char> got;
        for (ssize_t n; (n = ::read(fds[0], chunk.data(), chunk.size())) > 0;)  // to the writer's close
            got.insert(got.end(), chunk.begin(), chunk.begin() + n);
        writer.join();
        EXPECT_TRUE(written && !sink.failed());
        EXPECT_TRUE(got == sent);
        ::close(fds[0]);
    }
}

// Every other error fails the write, once told with its errno, whether the descriptor blocks or not
// (/dev/full's ENOSPC: the end-to-end ProcessE2E, from the helper's own line).
TEST(FdSink, EveryOtherErrorFailsTheWriteWithItsErrno) {
    std::signal(SIGPIPE, SIG_IGN);  // as the helper has it: a closed pipe is EPIPE from write
    int gone[2], readOnly[2];
    ASSERT_TRUE(::pipe(gone) == 0 && ::pipe(readOnly) == 0);
    ::close(gone[0]);
    ::fcntl(gone[1], F_SETFL, O_NONBLOCK);
    for (const auto& [fd, error] : {std::pair{gone[1], EPIPE}, std::pair{readOnly[0], EBADF}}) {
        SCOPED_TRACE(error);
        FdSink sink(fd);
        std::vector<int> failures;
        sink.onFailure([&](int reported) { failures.push_back(reported); });
        EXPECT_FALSE(sink.write(std::string_view("samples")));
        EXPECT_TRUE(sink.failed());
        EXPECT_EQ(failures, std::vector<int>{error});
    }
    for (const int fd : {gone[1], readOnly[0], readOnly[1]}) ::close(fd);
}

}  // namespace
}  // namespace lumvar
