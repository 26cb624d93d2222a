// The registry of the local machine (HKEY_LOCAL_MACHINE), as far as the
// programs use it: open a key that exists, query, set, delete and enumerate
// its values. Results are Windows error codes (0 success, 2 no such key or
// value, 234 more data, 259 no more items).
//
// On POSIX a key is a directory below $TOVL_REGISTRY_ROOT (default
// /etc/tovl/registry) named by its path, hive first; a value is a file
// holding its data. Names match without regard to ASCII case. A CRegKey owns
// its open key; one thread at a time uses an object.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace tovl {

constexpr uint32_t kKeyAllAccess = 0xF003F;
constexpr uint32_t kRegSz = 1;

struct RegKeyImpl;

class CRegKey {
  public:
    CRegKey();
    ~CRegKey();
    CRegKey(const CRegKey&) = delete;
    CRegKey& operator=(const CRegKey&) = delete;

    // Opens HKEY_LOCAL_MACHINE\path. Never creates the key.
    uint32_t OpenLocalMachine(const char* path, uint32_t access = kKeyAllAccess);
    void Close();
    bool IsOpen() const { return impl_ != nullptr; }

    // As RegQueryValueExA: *size is the buffer's capacity in and the data's
    // size out (a non-empty REG_SZ counts its terminating zero). 234 with the
    // needed size when the buffer is too small; data may be null to ask the
    // size.
    uint32_t QueryValue(const char* name, void* data, uint32_t* size) const;
    uint32_t SetValue(const char* name, uint32_t type, const void* data, uint32_t size);
    uint32_t DeleteValue(const char* name);
    // The name of value number index; 259 past the last one.
    uint32_t EnumValueName(uint32_t index, std::string* name) const;

  private:
    std::unique_ptr<RegKeyImpl> impl_;
};

// Creates HKEY_LOCAL_MACHINE\path with its parents (installers and tests;
// the programs never create keys).
uint32_t CreateLocalMachineKey(const char* path);
// Deletes the key HKEY_LOCAL_MACHINE\path with its values (tests).
uint32_t DeleteLocalMachineKey(const char* path);

}  // namespace tovl
