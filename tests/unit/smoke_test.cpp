#include <gtest/gtest.h>

#include "payload/payload.h"

TEST(Smoke, RecordSizes) {
    EXPECT_EQ(PAYLOAD_RECORD_SIZE, 16);
    EXPECT_EQ(PAYLOAD_HEADER_SIZE, 34);
}
