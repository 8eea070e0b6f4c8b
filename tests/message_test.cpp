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
