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

struct Split {
    std::vector<std::string> lines;
    LineSplitter splitter{[this](std::string_view line) { lines.emplace_back(line); },
                          [this](std::size_t bytes) { lines.push_back("<" + std::to_string(bytes) + " bytes>"); }};
};

TEST(LineSplitter, SplitsAcrossChunksAndKeepsTheLastUnterminatedLine) {
    Split split;
    split.splitter.feed("LIST\r\nINP");
    split.splitter.feed("UT mic\n\nSYS\r");
    split.splitter.feed("\nA\rB\nlast");
    split.splitter.finish();
    EXPECT_EQ(split.lines, (std::vector<std::string>{"LIST", "INPUT mic", "", "SYS", "A\rB", "last"}));
}

TEST(LineSplitter, ALineLongerThanTheLimitIsReportedByItsLengthAndNotKept) {
    const std::size_t limit = LineSplitter::kMaxLine;
    Split split;
    split.splitter.feed(std::string(limit, 'a') + "\r\n");  // exactly the limit: kept
    split.splitter.feed(std::string(limit + 1, 'b') + "\nLIST\n");
    for (int i = 0; i < 300; ++i) split.splitter.feed(std::string(1000, 'c'));  // 300 000 bytes in pieces
    split.splitter.feed("\r\nSYSTEM\n");
    split.splitter.feed(std::string(limit + 5, 'd'));  // unterminated at the end of input
    split.splitter.finish();
    ASSERT_EQ(split.lines.size(), 6u);
    EXPECT_EQ(split.lines[0], std::string(limit, 'a'));
    EXPECT_EQ(std::vector<std::string>(split.lines.begin() + 1, split.lines.end()),
              (std::vector<std::string>{"<65537 bytes>", "LIST", "<300000 bytes>", "SYSTEM", "<65541 bytes>"}));
}

TEST(CommandReader, PostsEveryCommandInOrderUntilEndOfInput) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    std::vector<std::string> words;
    std::thread reader([&] {
        readCommands(fds[0], text, {[&](Command command) { words.push_back(command.line); }, [](std::size_t) {}});
    });
    const std::string input = "list\n\n  \nINPUT mic\r\nsystem";
    ASSERT_EQ(::write(fds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
    ::close(fds[1]);
    reader.join();
    ::close(fds[0]);
    EXPECT_EQ(words, (std::vector<std::string>{"list", "INPUT mic", "system"}));
}

}  // namespace lumvar::app
