#include "app/command.h"

#include <gtest/gtest.h>

namespace lumvar::app {

// The word upper-cased by full Unicode rules and split from its argument at the first U+0020 only;
// blanks (Zs and tab) trimmed around the line, the word and the argument; bytes that are not UTF-8
// become U+FFFD; a blank line is no command. Each case: word|argument|line, or "none".
TEST(ParseCommand, EveryShapeOfLine) {
    const auto parsed = [](std::string_view raw) -> std::string {
        const auto command = parseCommand(raw, platformText());
        if (!command) return "none";
        return command->word + "|" + command->argument.value_or("(no argument)") + "|" + command->line;
    };
    for (const auto& [raw, expected] : std::vector<std::pair<std::string_view, std::string>>{
             {"system", "SYSTEM|(no argument)|system"},
             {"  System \t", "SYSTEM|(no argument)|System"},
             {"\xc5\xbfystem", "SYSTEM|(no argument)|\xc5\xbfystem"},  // long s upper-cases to S
             {"l\xc4\xb1st", "LIST|(no argument)|l\xc4\xb1st"},        // dotless i upper-cases to I
             {"INPUT   AbC  ", "INPUT|AbC|INPUT   AbC"},
             {"input My Device", "INPUT|My Device|input My Device"},
             {"INPUT \xc2\xa0 mic\xe3\x80\x80", "INPUT|mic|INPUT \xc2\xa0 mic"},  // no-break, ideographic
             {"INPUT\tAbC", "INPUT\tABC|(no argument)|INPUT\tAbC"},               // a tab does not split
             {"INPUT\t mic", "INPUT|mic|INPUT\t mic"},  // blanks before the first space belong to neither
             {"INPUT m\xffic", "INPUT|m\xef\xbf\xbdic|INPUT m\xef\xbf\xbdic"},
             {"\rLIST", "\rLIST|(no argument)|\rLIST"},  // a carriage return is not blank
             {"", "none"},
             {" \t \xe2\x80\x83", "none"},
         })
        EXPECT_EQ(parsed(raw), expected) << raw;
}

}  // namespace lumvar::app
