// What a status line and the device list are made of, how texts compare, and the sink both streams use.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <limits>
#include <thread>
#include <vector>

#include "audio/devices_json.h"
#include "common/fd_sink.h"
#include "common/number_format.h"
#include "common/status_log.h"
#include "common/text.h"

namespace lumvar {
namespace {

TEST(NumberFormat, IntegersArePlainAndFloatsShortestWithAFractionAndNeverAnExponent) {
    EXPECT_EQ(formatInt(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808");
    EXPECT_EQ(formatUnsigned(std::numeric_limits<std::uint64_t>::max()), "18446744073709551615");
    EXPECT_EQ(formatDouble(1e20), "100000000000000000000.0");
    EXPECT_EQ(formatDouble(1.5e-7), "0.00000015");
    EXPECT_EQ(formatFloat(0.1f), "0.1");  // not the double expansion 0.10000000149011612
}

// Cc but TAB, U+2028 and U+2029 are U+FFFD in a line and escaped in the list; TAB is escaped there too.
TEST(LineText, EveryControlAndSeparatorIsReplacedInLinesAndEscapedInTheList) {
    const std::string fffd = "\xEF\xBF\xBD";
    const std::tuple<std::string, std::string, std::string> cases[] = {
        // the text, in a line, in the list
        {"Mic\t\xC3\x9C", "Mic\t\xC3\x9C", "Mic\\u0009\xC3\x9C"},
        {std::string("a\r\nb\0c\x0B\x0C\x1C\x1D\x1E\x1F\x7F", 13),
         "a" + fffd + fffd + "b" + fffd + "c" + fffd + fffd + fffd + fffd + fffd + fffd + fffd,
         "a\\u000d\\u000ab\\u0000c\\u000b\\u000c\\u001c\\u001d\\u001e\\u001f\\u007f"},
        {"\xC2\x80\xC2\x85\xC2\x9F"
         "a\xE2\x80\xA8"
         "b\xE2\x80\xA9",
         fffd + fffd + fffd + "a" + fffd + "b" + fffd, "\\u0080\\u0085\\u009fa\\u2028b\\u2029"},
        // The neighbours of the separators stay; quote, backslash and solidus are escaped in the list.
        {"\xC2\xA0\xE2\x80\xA7\xE2\x80\xAA\"\\/", "\xC2\xA0\xE2\x80\xA7\xE2\x80\xAA\"\\/",
         "\xC2\xA0\xE2\x80\xA7\xE2\x80\xAA\\\"\\\\\\/"}};
    for (const auto& [text, inLine, inList] : cases) {
        EXPECT_EQ(oneLine(text), inLine);
        EXPECT_EQ(audio::devicesJson({{"u", text, 1, false}}, platformText()),
                  "[{\"uid\":\"u\",\"name\":\"" + inList + "\",\"ch\":1,\"default\":false}]");
    }
    // Bytes that are no UTF-8 are no character: a line passes them on (the parent's text is repaired
    // before it gets here), a cut-off separator among them.
    EXPECT_EQ(oneLine("\x85\xE2\x80"), "\x85\xE2\x80");
}

// What the command and device tests leave to these (trim is held against ICU in utf8_test): ill-formed
// text, and where a prefix ends.
TEST(Text, IllFormedTextEqualsOnlyItselfAndAPrefixEndsOnACharacterBoundary) {
    const Text& text = platformText();
    EXPECT_TRUE(text.equal("\xff\xfe", "\xff\xfe"));  // byte-identical, even ill-formed
    EXPECT_FALSE(text.equal("\xff", "\xfe"));         // both would read as U+FFFD
    EXPECT_FALSE(text.equal("\xef\xac\x81", "fi"));   // compatibility only, not canonical
    EXPECT_TRUE(text.startsWith("cafe\xcc\x81-1", "caf\xc3\xa9"));
    EXPECT_FALSE(text.startsWith("agge\xcc\x81", "agge"));  // that e carries an accent: another character
    EXPECT_FALSE(text.startsWith("ag", "agg"));
}

// A full pipe and signals (without SA_RESTART: a blocked call returns EINTR) that interrupt the writer.
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

// (/dev/full's ENOSPC: the end-to-end ProcessE2E, from the helper's own line.)
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
