#include <gtest/gtest.h>

#include "platform/time.h"

namespace tl::platform {
namespace {

TEST(Time, UnixAndFileTimeAgree) {
    EXPECT_EQ(FromUnix(0), 116444736000000000ULL);
    const auto u = ToUnix(FromUnix(1'700'000'000, 123'456'700));
    EXPECT_EQ(u.seconds, 1'700'000'000);
    EXPECT_EQ(u.nanoseconds, 123'456'700u);
}

TEST(Time, DosDateTimeRoundTripAndRejectsImpossibleDates) {
    // 2024-02-29 13:45:58 (tests run with TZ=UTC).
    const std::uint16_t date = ((2024 - 1980) << 9) | (2 << 5) | 29;
    const std::uint16_t time = (13 << 11) | (45 << 5) | (58 / 2);
    const auto ft = FromDosDateTime(date, time);
    ASSERT_TRUE(ft);
    EXPECT_EQ(ToUnix(*ft).seconds, 1709214358);
    std::uint16_t d2 = 0, t2 = 0;
    ToDosDateTime(*ft, d2, t2);
    EXPECT_EQ(d2, date);
    EXPECT_EQ(t2, time);
    // The 10 ms byte adds up to 1990 ms.
    EXPECT_EQ(*FromDosDateTime(date, time, 199) - *ft, 1990ULL * 10'000);

    EXPECT_FALSE(FromDosDateTime(0, 0));                    // month 0, day 0
    EXPECT_FALSE(FromDosDateTime((1 << 5) | 1, 24 << 11));  // hour 24
    EXPECT_FALSE(FromDosDateTime((13 << 5) | 1, 0));        // month 13
}

TEST(Time, DosDateTimeClampsOutsideItsRange) {
    std::uint16_t d = 0, t = 0;
    ToDosDateTime(FromUnix(0), d, t);  // 1970
    EXPECT_EQ(d, (1 << 5) | 1);
    EXPECT_EQ(t, 0);
    ToDosDateTime(FromUnix(5'000'000'000), d, t);  // 2128
    EXPECT_EQ(d >> 9, 127);
}

}  // namespace
}  // namespace tl::platform
