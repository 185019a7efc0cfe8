#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/bounded_format.h"

namespace {

// A buffer pre-filled with a sentinel, so a test proves what the call wrote.
struct Buffer {
    char bytes[64];
    Buffer() { std::memset(bytes, '#', sizeof bytes); }
};

TEST(BoundedFormat, InvalidCapacityLeavesTheDestinationUntouched) {
    Buffer b;
    EXPECT_EQ(FormatBounded(b.bytes, 0, "abc"), kFormatInvalidParameter);
    EXPECT_EQ(FormatBounded(b.bytes, kFormatMaxCapacity + 1, "abc"), kFormatInvalidParameter);
    EXPECT_EQ(AppendBounded(b.bytes, 0, "abc"), kFormatInvalidParameter);
    EXPECT_EQ(CopyBounded(b.bytes, 0, "abc"), kFormatInvalidParameter);
    EXPECT_EQ(b.bytes[0], '#');
}

TEST(BoundedFormat, CutsAtCapacityMinusOneAndSaysSo) {
    Buffer b;
    EXPECT_EQ(FormatBounded(b.bytes, 4, "%s", "abcdef"), kFormatInsufficientBuffer);
    EXPECT_EQ(std::string(b.bytes), "abc");
    EXPECT_EQ(b.bytes[4], '#') << "nothing is written past the capacity";
}

TEST(BoundedFormat, ExactFitAndShortTextSucceed) {
    Buffer b;
    EXPECT_EQ(FormatBounded(b.bytes, 4, "%s", "abc"), kFormatOk);
    EXPECT_EQ(std::string(b.bytes), "abc");
    EXPECT_EQ(FormatBounded(b.bytes, 4, "a"), kFormatOk);
    EXPECT_EQ(std::string(b.bytes), "a");
    EXPECT_EQ(FormatBounded(b.bytes, 1, "%s", ""), kFormatOk);
    EXPECT_EQ(b.bytes[0], '\0');
}

TEST(BoundedFormat, DecimalIsSigned32BitAsWindowsPrintsIt) {
    Buffer b;
    FormatBounded(b.bytes, sizeof b.bytes, "%d|%d|%d|%d", 0, -5, static_cast<int32_t>(0x80000000u),
                  static_cast<int32_t>(0xFFFFFFFFu));
    EXPECT_EQ(std::string(b.bytes), "0|-5|-2147483648|-1");
    FormatBounded(b.bytes, sizeof b.bytes, "(%d) 100%% %s", 1072, static_cast<const char *>(nullptr));
    EXPECT_EQ(std::string(b.bytes), "(1072) 100% (null)");
}

TEST(BoundedFormat, UnknownConversionIsAFailureWithATerminatedBuffer) {
    Buffer b;
    EXPECT_EQ(FormatBounded(b.bytes, 8, "ab%x", 1), kFormatInsufficientBuffer);
    EXPECT_EQ(b.bytes[7], '\0');
    EXPECT_EQ(std::string(b.bytes, 2), "ab");
}

TEST(BoundedAppend, AppendsCutsAndRefusesAnUnterminatedDestination) {
    Buffer b;
    CopyBounded(b.bytes, 8, "abc");
    EXPECT_EQ(AppendBounded(b.bytes, 8, "def"), kFormatOk);
    EXPECT_EQ(std::string(b.bytes), "abcdef");
    EXPECT_EQ(AppendBounded(b.bytes, 8, "ghij"), kFormatInsufficientBuffer);
    EXPECT_EQ(std::string(b.bytes), "abcdefg");

    Buffer full; // no terminator within the capacity
    EXPECT_EQ(AppendBounded(full.bytes, 8, "x"), kFormatInvalidParameter);
    EXPECT_EQ(full.bytes[0], '#');
}

} // namespace
