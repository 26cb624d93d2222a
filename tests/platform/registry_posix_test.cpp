// The POSIX registry's files are a documented interface: administrators and
// tests touch them directly.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/last_error.h"
#include "platform/registry.h"
#include "test_support/temp_registry.h"

using namespace tovl;
namespace fs = std::filesystem;

namespace {

std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(RegistryFiles, AValueIsAFileHoldingItsBytes) {
    testing_support::TempRegistry registry;
    registry.SetValue("Software\\Dravik\\TOVL\\Settings", "PORT5", "-1;0;0;0;0");
    fs::path file =
        fs::path(registry.Root()) / "HKEY_LOCAL_MACHINE/Software/Dravik/TOVL/Settings/PORT5";
    ASSERT_TRUE(fs::is_regular_file(file));
    EXPECT_EQ(ReadFile(file), "-1;0;0;0;0");
    // Nothing but the value is left in the key's directory.
    EXPECT_EQ(std::distance(fs::directory_iterator(file.parent_path()), fs::directory_iterator()),
              1);
}

TEST(RegistryFiles, ATouchedFileIsAnEmptyValue) {
    testing_support::TempRegistry registry;
    fs::path dir = fs::path(registry.Root()) / "HKEY_LOCAL_MACHINE/software/dravik/tovl/ipaddr";
    fs::create_directories(dir);
    std::ofstream(dir / "10.0.0.7").close();
    fs::create_directory(dir / "10.0.0.8");  // a sub-key is no value
    CRegKey key;
    ASSERT_EQ(key.OpenLocalMachine("Software\\Dravik\\TOVL\\IpAddr\\"), 0u);
    uint32_t size = 100;
    char data[100];
    EXPECT_EQ(key.QueryValue("10.0.0.7", data, &size), 0u);
    EXPECT_EQ(size, 0u);
    std::string name;
    EXPECT_EQ(key.EnumValueName(0, &name), 0u);
    EXPECT_EQ(name, "10.0.0.7");
    EXPECT_EQ(key.EnumValueName(1, &name), kErrorNoMoreItems);
}

TEST(RegistryFiles, NamesThatAreNoFileNamesAreRefused) {
    testing_support::TempRegistry registry;
    registry.CreateKey("Software\\Dravik\\TOVL\\IpAddr");
    CRegKey key;
    ASSERT_EQ(key.OpenLocalMachine("Software\\Dravik\\TOVL\\IpAddr"), 0u);
    EXPECT_NE(key.SetValue("../escape", kRegSz, "", 0), 0u);
    EXPECT_NE(key.SetValue("..", kRegSz, "", 0), 0u);
    uint32_t size = 0;
    EXPECT_EQ(key.QueryValue("../../../../etc/passwd", nullptr, &size), 2u);
    EXPECT_FALSE(
        fs::exists(fs::path(registry.Root()) / "HKEY_LOCAL_MACHINE/Software/Dravik/TOVL/escape"));
}

}  // namespace
