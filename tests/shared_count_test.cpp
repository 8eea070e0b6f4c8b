// Shared-use counts against the real SharedDLLs key. Every test uses value names of
// its own. A key that is missing or denies writing is the fault matrix's.
#include "installer/shared_count.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using namespace qeltest;

namespace {

class SharedCountTest : public testing::Test {
protected:
    void SetUp() override { name = "C:\\qeltest\\" + UniqueName("count") + ".dll"; }
    void TearDown() override { DeleteSharedValue(name); }

    int Raise(int priorCopyFound = 0)
    {
        char buffer[kMessageBufferForTests] = "";
        int result = IncrementSharedCount(name.c_str(), priorCopyFound, buffer);
        message = buffer;
        return result;
    }
    long long Lower()
    {
        char buffer[kMessageBufferForTests] = "";
        long long result = DecrementSharedCount(name.c_str(), buffer);
        message = buffer;
        return result;
    }

    std::string name;
    std::string message;
};

}  // namespace

TEST_F(SharedCountTest, FreshValueStartsAtOneOrAtTwoAfterAnUncountedCopy)
{
    EXPECT_EQ(Raise(0), 1);
    EXPECT_COUNT(name, 1);
    EXPECT_EQ(message, "");
    DeleteSharedValue(name);

    EXPECT_EQ(Raise(1), 1);
    EXPECT_COUNT(name, 2);
    // Only the absent value looks at the prior copy.
    EXPECT_EQ(Raise(1), 1);
    EXPECT_COUNT(name, 3);
}

TEST_F(SharedCountTest, CountsCrossAByteBoundaryBothWays)
{
    WriteSharedCount(name, 255);
    EXPECT_EQ(Raise(), 1);
    EXPECT_COUNT(name, 256);
    EXPECT_EQ(Lower(), 255);
    EXPECT_COUNT(name, 255);
    EXPECT_EQ(Lower(), 254);
}

TEST_F(SharedCountTest, LoweringTheLastUseRemovesTheValue)
{
    WriteSharedCount(name, 1);
    EXPECT_EQ(Lower(), 0);
    EXPECT_FALSE(ReadSharedValue(name).exists);

    WriteSharedCount(name, 0);
    EXPECT_EQ(Lower(), 0);
    EXPECT_FALSE(ReadSharedValue(name).exists);

    // Absent: nothing to do, nothing created.
    EXPECT_EQ(Lower(), 0);
    EXPECT_FALSE(ReadSharedValue(name).exists);
    EXPECT_EQ(message, "");
}

TEST_F(SharedCountTest, LargestCountStaysLargestInsteadOfWrappingToZero)
{
    WriteSharedCount(name, 0xFFFFFFFFu);
    EXPECT_EQ(Raise(), 1);
    EXPECT_COUNT(name, 0xFFFFFFFFu);
    // Above the range of int: still reported as a count in use, not as a failure.
    EXPECT_EQ(Lower(), 0xFFFFFFFELL);
    EXPECT_COUNT(name, 0xFFFFFFFEu);
}

TEST_F(SharedCountTest, OverlongValueIsNoCount)
{
    std::string text = "a string of well over sixteen bytes";
    WriteSharedValue(name, REG_SZ, text.c_str(), static_cast<DWORD>(text.size() + 1));
    EXPECT_EQ(Lower(), 0);
    SharedValue kept = ReadSharedValue(name);
    EXPECT_TRUE(kept.exists);
    EXPECT_EQ(kept.type, static_cast<DWORD>(REG_SZ));

    EXPECT_EQ(Raise(), 1);
    EXPECT_COUNT(name, 1);
}

TEST_F(SharedCountTest, ShortOrOddlyTypedCountIsRewrittenAsAWellFormedDword)
{
    BYTE two[2] = {7, 1};  // 263, as a 2-byte binary value
    WriteSharedValue(name, REG_BINARY, two, sizeof(two));
    EXPECT_EQ(Raise(), 1);
    EXPECT_COUNT(name, 264);

    WriteSharedValue(name, REG_BINARY, two, sizeof(two));
    EXPECT_EQ(Lower(), 262);
    EXPECT_COUNT(name, 262);
}
