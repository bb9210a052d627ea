#include "app/command.h"

#include <gtest/gtest.h>

#include <thread>
#include <unistd.h>

#include "app/command_reader.h"

namespace lumvar::app {

const Text& text = platformText();

Command parsed(std::string_view line) {
    auto command = parseCommand(line, text);
    EXPECT_TRUE(command.has_value()) << line;
    return command.value_or(Command{});
}

TEST(ParseCommand, WordIsUpperCasedAndSplitAtTheFirstSpaceOnly) {
    EXPECT_EQ(parsed("system").word, "SYSTEM");
    EXPECT_EQ(parsed("  System \t").word, "SYSTEM");
    EXPECT_EQ(parsed("\xc5\xbfystem").word, "SYSTEM");  // long s upper-cases to S
    EXPECT_EQ(parsed("l\xc4\xb1st").word, "LIST");       // dotless i upper-cases to I

    const Command now = parsed("SYSTEM now");
    EXPECT_EQ(now.word, "SYSTEM");
    EXPECT_EQ(now.argument, "now");

    const Command spaced = parsed("INPUT   AbC  ");
    EXPECT_EQ(spaced.word, "INPUT");
    EXPECT_EQ(spaced.argument, "AbC");
    EXPECT_EQ(spaced.line, "INPUT   AbC");

    EXPECT_EQ(parsed("input My Device").argument, "My Device");
    EXPECT_EQ(parsed("INPUT \xc2\xa0 mic\xe3\x80\x80").argument, "mic");  // no-break and ideographic spaces trim

    const Command tabbed = parsed("INPUT\tAbC");  // a tab does not split
    EXPECT_EQ(tabbed.word, "INPUT\tABC");
    EXPECT_EQ(tabbed.argument, std::nullopt);
    EXPECT_EQ(tabbed.line, "INPUT\tAbC");

    EXPECT_EQ(parsed("INPUT").argument, std::nullopt);
    EXPECT_EQ(parsed("hello world").line, "hello world");
}

TEST(ParseCommand, BlankLinesAreDroppedAndBadBytesReplaced) {
    EXPECT_FALSE(parseCommand("", text).has_value());
    EXPECT_FALSE(parseCommand(" \t \xe2\x80\x83", text).has_value());
    const Command bad = parsed("INPUT mi\xff" "c");
    EXPECT_EQ(bad.argument, "mi\xef\xbf\xbd" "c");
    EXPECT_EQ(parsed("\rLIST").word, "\rLIST");  // a carriage return is not blank
}

TEST(CommandReader, SplitsLinesAnywhereKeepsTheLastAndReportsOverlongOnesByTheirLength) {
    const std::size_t limit = LineSplitter::kMaxLine;
    std::string input = "list\r\nINPUT mic\n\n  \nA\rB\n" + std::string(limit, 'a') + "\r\n";  // the limit: kept
    input += std::string(limit + 1, 'b') + "\nLIST\n" + std::string(300000, 'c') + "\r\nSYSTEM\n";
    input += std::string(limit + 5, 'd');  // unterminated at the end of input
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    std::vector<std::string> seen;
    std::thread reader([&] {
        readCommands(fds[0], text,
                     {[&](Command command) { seen.push_back(command.line.substr(0, 16)); },
                      [&](std::size_t bytes) { seen.push_back("<" + std::to_string(bytes) + " bytes>"); }});
    });
    for (std::size_t at = 0; at < input.size(); at += 1000) {  // arrives in pieces, as from a pipe
        const std::size_t size = std::min<std::size_t>(1000, input.size() - at);
        ASSERT_EQ(::write(fds[1], input.data() + at, size), static_cast<ssize_t>(size));
    }
    ::close(fds[1]);
    reader.join();
    ::close(fds[0]);
    EXPECT_EQ(seen, (std::vector<std::string>{"list", "INPUT mic", "A\rB", std::string(16, 'a'), "<65537 bytes>", "LIST",
                                              "<300000 bytes>", "SYSTEM", "<65541 bytes>"}));
}

}  // namespace lumvar::app
