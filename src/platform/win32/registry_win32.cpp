#include <windows.h>

#include <memory>

#include "platform/last_error.h"
#include "platform/registry.h"
#include "platform/win32/unique_handle_win32.h"

namespace tovl {

struct RegKeyImpl {
    CUniqueKey key;
};

CRegKey::CRegKey() = default;

CRegKey::~CRegKey() {
    Close();
}

uint32_t CRegKey::OpenLocalMachine(const char* path, uint32_t access) {
    Close();
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, access, &key);
    if (rc != ERROR_SUCCESS) return static_cast<uint32_t>(rc);
    impl_ = std::make_unique<RegKeyImpl>(RegKeyImpl{CUniqueKey(key)});
    return kErrorSuccess;
}

void CRegKey::Close() {
    impl_.reset();
}

uint32_t CRegKey::QueryValue(const char* name, void* data, uint32_t* size) const {
    if (!impl_) return kErrorInvalidHandle;
    DWORD dwSize = size ? *size : 0;
    LONG rc = RegQueryValueExA(impl_->key.Get(), name, nullptr, nullptr, static_cast<BYTE*>(data),
                               size ? &dwSize : nullptr);
    if (size) *size = dwSize;
    return static_cast<uint32_t>(rc);
}

uint32_t CRegKey::SetValue(const char* name, uint32_t type, const void* data, uint32_t size) {
    if (!impl_) return kErrorInvalidHandle;
    return static_cast<uint32_t>(
        RegSetValueExA(impl_->key.Get(), name, 0, type, static_cast<const BYTE*>(data), size));
}

uint32_t CRegKey::DeleteValue(const char* name) {
    if (!impl_) return kErrorInvalidHandle;
    return static_cast<uint32_t>(RegDeleteValueA(impl_->key.Get(), name));
}

uint32_t CRegKey::EnumValueName(uint32_t index, std::string* name) const {
    if (!impl_) return kErrorInvalidHandle;
    char buffer[16384];
    DWORD length = sizeof buffer;
    LONG rc =
        RegEnumValueA(impl_->key.Get(), index, buffer, &length, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_SUCCESS) name->assign(buffer, length);
    return static_cast<uint32_t>(rc);
}

uint32_t CreateLocalMachineKey(const char* path) {
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key, nullptr);
    CUniqueKey created(rc == ERROR_SUCCESS ? key : nullptr);
    return static_cast<uint32_t>(rc);
}

uint32_t DeleteLocalMachineKey(const char* path) {
    return static_cast<uint32_t>(RegDeleteTreeA(HKEY_LOCAL_MACHINE, path));
}

}  // namespace tovl
