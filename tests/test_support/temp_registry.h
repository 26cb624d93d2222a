// A registry of the test's own: on POSIX a fresh root directory named by
// TOVL_REGISTRY_ROOT, under Wine the throw-away prefix with the product's
// key removed before and after the test.
#pragma once

#include <string>

namespace testing_support {

class TempRegistry {
  public:
    TempRegistry();
    ~TempRegistry();
    TempRegistry(const TempRegistry&) = delete;
    TempRegistry& operator=(const TempRegistry&) = delete;

    // Creates the key (and its parents) and sets one value; data is stored
    // without a terminator, as REG_SZ text.
    void SetValue(const std::string& keyPath, const std::string& name, const std::string& data);
    void CreateKey(const std::string& keyPath);
    void DeleteKey(const std::string& keyPath);
    // Where the registry lives on POSIX; empty under Wine.
    const std::string& Root() const { return root_; }

  private:
    std::string root_;
};

}  // namespace testing_support
