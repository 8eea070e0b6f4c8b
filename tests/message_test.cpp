// The one writer of every message the module gives its callers.
#include "common/message.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

TEST(MessageTest, TextLongerThanTheBufferIsCutAndTerminatedInsideIt)
{
    char buffer[kMessageSize + 64];
    memset(buffer, '#', sizeof(buffer));
    const std::string path(3 * kMessageSize, 'p');
    EXPECT_EQ(WriteMessage(buffer, "The file %s does not exist.\n", path.c_str()), 0);
    EXPECT_EQ(std::string(buffer), ("The file " + path).substr(0, kMessageSize - 1));
    for (size_t i = kMessageSize; i < sizeof(buffer); ++i) ASSERT_EQ(buffer[i], '#') << i;
}

TEST(MessageTest, LongestMessageOfAnyStepFitsWhole)
{
    // A copy failure names two paths of up to 255 characters each.
    const std::string source(255, 's'), target(255, 't');
    char buffer[kMessageSize];
    WriteMessage(buffer, "Could not copy file %s to %s\n", source.c_str(), target.c_str());
    EXPECT_EQ(std::string(buffer), "Could not copy file " + source + " to " + target + "\n");
}
