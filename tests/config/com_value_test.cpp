#include "config/com_value.h"

#include <gtest/gtest.h>

namespace tovl {
namespace {

TEST(ComValueTest, NamesAreComOneTo255InAnyCase) {
    uint32_t n = 0;
    ASSERT_TRUE(ParseComValueName("com7", &n));
    EXPECT_EQ(n, 7u);
    ASSERT_TRUE(ParseComValueName("COM0255", &n));
    EXPECT_EQ(n, 255u);
    for (const char* bad : {"XYZ1", "COM", "COM0", "COM256", "COM1 ", "COMX", "CO1"})
        EXPECT_FALSE(ParseComValueName(bad, &n)) << bad;
}

TEST(ComValueTest, Rfc2217PortIgnoresTrailingSpaceOnly) {
    uint16_t port = 0;
    ASSERT_TRUE(ParseRfc2217Port(std::string("7002\n\0", 6), &port));
    EXPECT_EQ(port, 7002);
    for (const char* bad : {"", " 7002", "70 02", "0", "65536", "7002;"})
        EXPECT_FALSE(ParseRfc2217Port(bad, &port)) << bad;
}

}  // namespace
}  // namespace tovl
