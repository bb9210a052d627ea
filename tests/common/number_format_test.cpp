#include "common/number_format.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace lumvar {

TEST(NumberFormat, IntegersArePlainAndFloatsShortestWithAFractionAndNeverAnExponent) {
    EXPECT_EQ(formatInt(-50), "-50");
    EXPECT_EQ(formatInt(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808");
    EXPECT_EQ(formatUnsigned(std::numeric_limits<std::uint64_t>::max()), "18446744073709551615");
    EXPECT_EQ(formatDouble(48000.0), "48000.0");
    EXPECT_EQ(formatDouble(44100.5), "44100.5");
    EXPECT_EQ(formatDouble(1e20), "100000000000000000000.0");
    EXPECT_EQ(formatDouble(1.5e-7), "0.00000015");
    EXPECT_EQ(formatFloat(1.0f), "1.0");
    EXPECT_EQ(formatFloat(0.1f), "0.1");  // not the double expansion 0.10000000149011612
}

}  // namespace lumvar
