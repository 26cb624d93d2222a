// The allowed-address list model against a temporary registry.
#include "admin/allowed_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "test_support/temp_registry.h"

using namespace tovl;
using testing_support::TempRegistry;

namespace {

constexpr const char* kKey = "Software\\Dravik\\TOVL\\IpAddr";

class AllowedList : public ::testing::Test {
  protected:
    // Every message shown, in order.
    std::vector<std::string> messages;
    MessageSink sink = [this](const char* text) { messages.emplace_back(text); };

    std::vector<std::string> Names() {
        std::vector<std::string> names;
        CRegKey key;
        if (key.OpenLocalMachine(kKey) != 0) return names;
        std::string name;
        for (uint32_t i = 0; key.EnumValueName(i, &name) == 0; ++i) names.push_back(name);
        return names;
    }

    uint32_t ValueSize(const char* name) {
        CRegKey key;
        EXPECT_EQ(key.OpenLocalMachine(kKey), 0u);
        char data[100];
        uint32_t size = sizeof data;
        EXPECT_EQ(key.QueryValue(name, data, &size), 0u) << name;
        return size;
    }

    TempRegistry registry;
};

TEST_F(AllowedList, EmptyKeyGivesNoRowsAndNoMessage) {
    registry.CreateKey(kKey);
    bool opened = false;
    EXPECT_TRUE(BuildAddressList(sink, &opened).empty());
    EXPECT_TRUE(opened);
    EXPECT_TRUE(messages.empty());
}

TEST_F(AllowedList, RowsAreTheEnumerationReversed) {
    registry.SetValue(kKey, "10.0.0.1", "");
    registry.SetValue(kKey, "192.168.1.9", "");
    registry.SetValue(kKey, "172.16.0.3", "some data");
    EXPECT_EQ(BuildAddressList(sink),
              (std::vector<std::string>{"192.168.1.9", "172.16.0.3", "10.0.0.1"}));
    EXPECT_TRUE(messages.empty());
}

TEST_F(AllowedList, ThreeHundredValuesShowTheFirst256WithThe256thOnTop) {
    std::vector<std::string> names;
    for (int i = 0; i < 300; ++i) {
        names.push_back("10.0." + std::to_string(i / 100) + "." + std::to_string(i % 100));
        registry.SetValue(kKey, names.back(), "");
    }
    // The registry hands names out sorted.
    std::sort(names.begin(), names.end());
    std::vector<std::string> expected(names.begin(), names.begin() + 256);
    std::reverse(expected.begin(), expected.end());
    std::vector<std::string> rows = BuildAddressList(sink);
    ASSERT_EQ(rows.size(), 256u);
    EXPECT_EQ(rows.front(), names[255]);
    EXPECT_EQ(rows.back(), names[0]);
    EXPECT_EQ(rows, expected);
}

TEST_F(AllowedList, MissingKeyShowsTheOpenMessageAndIsNotCreated) {
    bool opened = true;
    EXPECT_TRUE(BuildAddressList(sink, &opened).empty());
    EXPECT_FALSE(opened);
    EXPECT_EQ(messages, (std::vector<std::string>{kMsgCantOpenKey}));
    CRegKey key;
    EXPECT_NE(key.OpenLocalMachine(kKey), 0u) << "listing created the key";
}

TEST(AddressValueName, FieldsWithoutLeadingZerosMostSignificantFirst) {
    EXPECT_EQ(AddressValueName(0), "0.0.0.0");
    EXPECT_EQ(AddressValueName(AddressFromFields(10, 1, 20, 255)), "10.1.20.255");
    EXPECT_EQ(AddressValueName(AddressFromFields(192, 168, 0, 0)), "192.168.0.0");
    EXPECT_EQ(AddressValueName(0x0A000007), "10.0.0.7");
    EXPECT_EQ(AddressValueName(0xFFFFFFFF), "255.255.255.255");
}

TEST_F(AllowedList, AddWritesAnEmptyTextValueNamedByTheAddress) {
    registry.CreateKey(kKey);
    EXPECT_TRUE(AddAddress(0, sink));
    EXPECT_TRUE(AddAddress(AddressFromFields(192, 168, 0, 0), sink));
    EXPECT_TRUE(AddAddress(AddressFromFields(10, 1, 20, 255), sink));
    EXPECT_TRUE(messages.empty());
    std::vector<std::string> names = Names();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"0.0.0.0", "10.1.20.255", "192.168.0.0"}));
    EXPECT_EQ(ValueSize("10.1.20.255"), 0u);
}

TEST_F(AllowedList, AddingAListedAddressKeepsOneValue) {
    registry.SetValue(kKey, "10.0.0.7", "");
    EXPECT_TRUE(AddAddress(0x0A000007, sink));
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(Names(), (std::vector<std::string>{"10.0.0.7"}));
    EXPECT_EQ(BuildAddressList(sink), (std::vector<std::string>{"10.0.0.7"}));
}

TEST_F(AllowedList, AddWithTheKeyMissingShowsOpenThenWriteAndCreatesNothing) {
    EXPECT_FALSE(AddAddress(0x0A000007, sink));
    EXPECT_EQ(messages, (std::vector<std::string>{kMsgCantOpenKey, kMsgCantWrite}));
    CRegKey key;
    EXPECT_NE(key.OpenLocalMachine(kKey), 0u) << "add created the key";
}

TEST_F(AllowedList, RemoveDeletesExactlyTheNamedValue) {
    registry.SetValue(kKey, "10.0.0.1", "");
    registry.SetValue(kKey, "10.0.0.10", "");
    registry.SetValue(kKey, "not an address", "x");
    EXPECT_TRUE(RemoveAddress("10.0.0.1", sink));
    EXPECT_TRUE(RemoveAddress("not an address", sink));
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(Names(), (std::vector<std::string>{"10.0.0.10"}));
}

TEST_F(AllowedList, RemovingAnUnlistedNameShowsTheDeleteMessage) {
    registry.SetValue(kKey, "10.0.0.1", "");
    EXPECT_FALSE(RemoveAddress("10.0.0.2", sink));
    EXPECT_EQ(messages, (std::vector<std::string>{kMsgCantDeleteValue}));
    EXPECT_EQ(Names(), (std::vector<std::string>{"10.0.0.1"}));
}

TEST_F(AllowedList, RemoveWithTheKeyMissingShowsOpenThenDelete) {
    EXPECT_FALSE(RemoveAddress("10.0.0.1", sink));
    EXPECT_EQ(messages, (std::vector<std::string>{kMsgCantOpenKey, kMsgCantDeleteValue}));
}

TEST(ParseDottedAddress, TakesFourFieldsOf0To255) {
    uint32_t address = 1;
    ASSERT_TRUE(ParseDottedAddress("0.0.0.0", &address));
    EXPECT_EQ(address, 0u);
    ASSERT_TRUE(ParseDottedAddress("10.1.20.255", &address));
    EXPECT_EQ(address, 0x0A0114FFu);
    ASSERT_TRUE(ParseDottedAddress("010.001.020.255", &address));
    EXPECT_EQ(AddressValueName(address), "10.1.20.255");
}

TEST(ParseDottedAddress, RejectsEverythingElse) {
    uint32_t address = 0x12345678;
    for (const char* bad :
         {"", "1.2.3", "1.2.3.4.5", "256.0.0.0", "1.2.3.256", "1..2.3", "1.2.3.4.", ".1.2.3",
          "-1.2.3.4", "+1.2.3.4", " 1.2.3.4", "1.2.3.4 ", "0x1.2.3.4", "1.2.3.a", "1000.2.3.4",
          "0001.2.3.4", "1.2.3.4\n", "localhost"}) {
        EXPECT_FALSE(ParseDottedAddress(bad, &address)) << '"' << bad << '"';
    }
    EXPECT_EQ(address, 0x12345678u) << "a rejected text changed the address";
}

}  // namespace
