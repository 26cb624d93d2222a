// Registry contract: the same cases on Windows (under Wine) and POSIX.
#include "platform/registry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/last_error.h"
#include "test_support/temp_registry.h"

using namespace tovl;
using testing_support::TempRegistry;

namespace {

constexpr const char* kKey = "Software\\Dravik\\TOVL\\Test";

class Registry : public ::testing::Test {
  protected:
    TempRegistry registry;
};

TEST_F(Registry, OpeningAMissingKeyFailsAndCreatesNothing) {
    CRegKey key;
    EXPECT_EQ(key.OpenLocalMachine(kKey), kErrorFileNotFound);
    EXPECT_FALSE(key.IsOpen());
    EXPECT_EQ(key.OpenLocalMachine(kKey), kErrorFileNotFound) << "the first open created it";
}

TEST_F(Registry, TextValueReadsBackWithItsTerminator) {
    registry.SetValue(kKey, "REMOTEPORT3", "10.0.0.7;2");
    CRegKey key;
    ASSERT_EQ(key.OpenLocalMachine(kKey), 0u);
    char data[32];
    memset(data, 'x', sizeof data);
    uint32_t size = sizeof data;
    ASSERT_EQ(key.QueryValue("REMOTEPORT3", data, &size), 0u);
    EXPECT_EQ(size, 11u);
    EXPECT_STREQ(data, "10.0.0.7;2");
}

TEST_F(Registry, EmptyValueHasNoDataAndLeavesTheBufferAlone) {
    registry.SetValue(kKey, "10.0.0.5", "");
    CRegKey key;
    ASSERT_EQ(key.OpenLocalMachine(kKey), 0u);
    char data[100];
    memset(data, 'x', sizeof data);
    uint32_t size = sizeof data;
    ASSERT_EQ(key.QueryValue("10.0.0.5", data, &size), 0u);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(data[0], 'x');
}

TEST_F(Registry, TooSmallBufferReportsMoreDataAndTheNeededSize) {
    registry.SetValue(kKey, "PORT1", std::string(150, 'a'));
    CRegKey key;
    ASSERT_EQ(key.OpenLocalMachine(kKey), 0u);
    char data[100];
    uint32_t size = sizeof data;
    EXPECT_EQ(key.QueryValue("PORT1", data, &size), kErrorMoreData);
    EXPECT_EQ(size, 151u);
    // 99 characters and the terminator just fit.
    registry.SetValue(kKey, "PORT2", std::string(99, 'b'));
    size = sizeof data;
    EXPECT_EQ(key.QueryValue("PORT2", data, &size), 0u);
    EXPECT_EQ(size, 100u);
    registry.SetValue(kKey, "PORT3", std::string(100, 'c'));
    size = sizeof data;
    EXPECT_EQ(key.QueryValue("PORT3", data, &size), kErrorMoreData);
}

TEST_F(Registry, NamesMatchWithoutRegardToCase) {
    registry.SetValue(kKey, "Port7", "1;2;3;4;5");
    CRegKey key;
    ASSERT_EQ(key.OpenLocalMachine("SOFTWARE\\dravik\\tovl\\TEST\\"), 0u);
    char data[100];
    uint32_t size = sizeof data;
    EXPECT_EQ(key.QueryValue("PORT7", data, &size), 0u);
    // Setting under another case replaces the one value.
    ASSERT_EQ(key.SetValue("port7", kRegSz, "9", 1), 0u);
    std::string name;
    ASSERT_EQ(key.EnumValueName(0, &name), 0u);
    EXPECT_EQ(key.EnumValueName(1, &name), kErrorNoMoreItems);
    size = sizeof data;
    ASSERT_EQ(key.QueryValue("Port7", data, &size), 0u);
    EXPECT_STREQ(data, "9");
}

TEST_F(Registry, EnumerationListsEveryNameThenEnds) {
    registry.SetValue(kKey, "10.0.0.2", "");
    registry.SetValue(kKey, "10.0.0.1", "");
    registry.SetValue(kKey, "192.168.0.7", "");
    CRegKey key;
    ASSERT_EQ(key.OpenLocalMachine(kKey), 0u);
    std::string names[3];
    for (uint32_t i = 0; i < 3; ++i) ASSERT_EQ(key.EnumValueName(i, &names[i]), 0u);
    EXPECT_EQ(names[0], "10.0.0.1");
    EXPECT_EQ(names[1], "10.0.0.2");
    EXPECT_EQ(names[2], "192.168.0.7");
    std::string after;
    EXPECT_EQ(key.EnumValueName(3, &after), kErrorNoMoreItems);
}

TEST_F(Registry, DeleteRemovesExactlyOneValue) {
    registry.SetValue(kKey, "10.0.0.1", "");
    registry.SetValue(kKey, "10.0.0.10", "");
    CRegKey key;
    ASSERT_EQ(key.OpenLocalMachine(kKey), 0u);
    EXPECT_EQ(key.DeleteValue("10.0.0.1"), 0u);
    EXPECT_EQ(key.DeleteValue("10.0.0.1"), kErrorFileNotFound);
    uint32_t size = 0;
    EXPECT_EQ(key.QueryValue("10.0.0.1", nullptr, &size), kErrorFileNotFound);
    EXPECT_EQ(key.QueryValue("10.0.0.10", nullptr, &size), 0u);
}

TEST_F(Registry, DeletedKeyCannotBeOpened) {
    registry.SetValue(kKey, "x", "1");
    registry.DeleteKey(kKey);
    CRegKey key;
    EXPECT_EQ(key.OpenLocalMachine(kKey), kErrorFileNotFound);
}

}  // namespace
