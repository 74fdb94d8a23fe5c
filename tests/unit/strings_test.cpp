#include <sys/wait.h>

#include <cstdint>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "fake_win32.h"
#include "strings/string_runtime.h"

namespace {

class Strings : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake::Reset();
        StringRuntimeInit();
    }
    static long Size(const void* block) { return fake::BlockSize(StringHeap, block); }
    static std::string Area(AreaPosition from) { return std::string(tempArea.buffer + from, tempArea.end - from); }
};

TEST_F(Strings, AreaGrowsWhenNeedReachesCapacityLessFour)
{
    ASSERT_EQ(16, Size(tempArea.buffer));
    append("12345678901");
    EXPECT_EQ(16, tempArea.capacity);
    EXPECT_EQ(0, fake::Counts(StringHeap).reallocs);

    tempArea.end = 0;
    append("123456789012");
    EXPECT_EQ(12 + 16384, tempArea.capacity);
    ASSERT_EQ(1, fake::Counts(StringHeap).reallocs);
    EXPECT_EQ(SIZE_T(12 + 16384 + 5), fake::Ops(StringHeap).back().size);
    EXPECT_EQ(12 + 16384 + 5, Size(tempArea.buffer));
    EXPECT_EQ("123456789012", Area(0));
    EXPECT_EQ(0, tempArea.buffer[12]);
}

TEST_F(Strings, VariableBlockIsExactlyLengthPlusFive)
{
    StringValue v = nullptr;
    assign(&v, "");
    ASSERT_NE(nullptr, v);
    EXPECT_STREQ("", v);
    EXPECT_EQ(5, Size(v));
    assign(&v, "twenty bytes of text");
    EXPECT_EQ(25, Size(v));
    assign(&v, "ab");
    EXPECT_EQ(7, Size(v));
    EXPECT_STREQ("ab", v);

    append("from the area");
    assignFromArea(&v, 0);
    EXPECT_STREQ("from the area", v);
    EXPECT_EQ(18, Size(v));
    EXPECT_EQ(0, tempArea.end);
    append("x");
    assignFromArea(&v, 0);
    EXPECT_EQ(6, Size(v));

    StringValue fresh = nullptr;
    append("new");
    assignFromArea(&fresh, 0);
    EXPECT_STREQ("new", fresh);
    EXPECT_EQ(8, Size(fresh));

    std::size_t blocks = fake::LiveBlocks(StringHeap);
    assign(&v, nullptr);
    EXPECT_EQ(nullptr, v);
    EXPECT_EQ(blocks - 1, fake::LiveBlocks(StringHeap));
    EXPECT_EQ(0, fake::HeapMisuses());
}

TEST_F(Strings, AssignFromAnEmptyRangeGivesAnAllocatedEmptyString)
{
    append("abc");
    StringValue v = nullptr;
    assignFromArea(&v, 3);
    ASSERT_NE(nullptr, v);
    EXPECT_STREQ("", v);
    EXPECT_EQ(5, Size(v));
    EXPECT_EQ(3, tempArea.end);
}

TEST_F(Strings, AppendDecimalWritesDigitsOnly)
{
    const struct {
        std::int64_t value;
        const char* digits;
    } cases[] = {{0, "0"}, {7, "7"}, {20, "20"}, {INT64_MAX, "9223372036854775807"}};
    for (const auto& c : cases) {
        tempArea.end = 0;
        append("n=");
        appendDecimal(c.value, tempArea.end);
        EXPECT_EQ(std::string("n=") + c.digits, Area(0));
        EXPECT_EQ(0, tempArea.buffer[tempArea.end]);
    }
}

TEST_F(Strings, AppendOfNullOnlyTerminates)
{
    append("abc");
    tempArea.buffer[3] = 'y';
    tempArea.buffer[4] = 'z';
    append(nullptr);
    EXPECT_EQ(3, tempArea.end);
    EXPECT_EQ(0, tempArea.buffer[3]);
    EXPECT_EQ('z', tempArea.buffer[4]);
}

// The fake heap moves every resized block, so a stale pointer would show.
TEST_F(Strings, PositionsSurviveGrowthAndTheAreaMayAppendItsOwnText)
{
    std::string text;
    for (int i = 0; i < 20000; i++) text += (char)('a' + i % 26);
    append(text.c_str());
    ASSERT_LT(tempArea.capacity - 4, 2 * 20000);
    const char* before = tempArea.buffer;
    append(tempArea.buffer);
    EXPECT_NE(before, tempArea.buffer);
    EXPECT_EQ(text + text, Area(0));
}

bool ExitedNonZero(int status)
{
    return WIFEXITED(status) && WEXITSTATUS(status) != 0;
}

TEST(StringsDeathTest, ExhaustedStringHeapSaysSoOnceAndExits)
{
    // Each fails at a different kind of request: a new variable, a resized
    // one, the area's growth, a variable taken from the area; the last two
    // need more than a position can hold, which no heap is even asked for.
    const std::function<void()> requests[] = {
        [] {
            StringValue v = nullptr;
            fake::FailAllAllocations(StringHeap);
            assign(&v, "new");
        },
        [] {
            StringValue v = nullptr;
            assign(&v, "a");
            fake::FailAllAllocations(StringHeap);
            assign(&v, "longer");
        },
        [] {
            fake::FailAllAllocations(StringHeap);
            append(std::string(100, 'g').c_str());
        },
        [] {
            append("text");
            StringValue v = nullptr;
            fake::FailAllAllocations(StringHeap);
            assignFromArea(&v, 0);
        },
        [] {
            tempArea.end = 0x7FFFFF00;
            tempArea.capacity = 0x7FFFFFF0;
            reserve(0x200, tempArea.end);
        },
        [] {
            tempArea.end = 0x7FFF0000;
            tempArea.capacity = 0x7FFF0010;
            reserve(0xD000, tempArea.end);
        },
    };
    for (const auto& request : requests) {
        EXPECT_EXIT(
            {
                fake::Reset();
                StringRuntimeInit();
                request();
            },
            ExitedNonZero, ::testing::Eq(std::string("comscan: out of memory\r\n")));
    }
}

}  // namespace
