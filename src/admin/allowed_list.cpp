#include "admin/allowed_list.h"

#include "platform/registry.h"

namespace tovl {

std::vector<std::string> BuildAddressList(const MessageSink& show, bool* opened) {
    std::vector<std::string> rows;
    CRegKey key;
    bool isOpen = key.OpenLocalMachine(kIpAddrListKey, kKeyAllAccess) == 0;
    if (opened) *opened = isOpen;
    if (!isOpen) {
        show(kMsgCantOpenKey);
        return rows;
    }
    std::vector<std::string> enumerated;
    for (uint32_t index = 0; index < kMaxListedAddresses; ++index) {
        std::string name;
        if (key.EnumValueName(index, &name) != 0) break;
        enumerated.push_back(std::move(name));
    }
    // Each name goes in at the top, so the last one read is the first row.
    rows.assign(enumerated.rbegin(), enumerated.rend());
    return rows;
}

std::string AddressValueName(uint32_t address) {
    std::string name;
    for (int shift = 24; shift >= 0; shift -= 8) {
        if (!name.empty()) name += '.';
        name += std::to_string((address >> shift) & 0xFF);
    }
    return name;
}

uint32_t AddressFromFields(uint8_t f0, uint8_t f1, uint8_t f2, uint8_t f3) {
    return (uint32_t{f0} << 24) | (uint32_t{f1} << 16) | (uint32_t{f2} << 8) | uint32_t{f3};
}

bool AddAddress(uint32_t address, const MessageSink& show) {
    return AddAddressName(AddressValueName(address), show);
}

bool AddAddressName(const std::string& name, const MessageSink& show) {
    CRegKey key;
    if (key.OpenLocalMachine(kIpAddrAddKey, kKeyAllAccess) != 0) show(kMsgCantOpenKey);
    // REG_SZ without data; an existing value of that name stays the one value.
    if (!key.IsOpen() || key.SetValue(name.c_str(), kRegSz, "", 0) != 0) {
        show(kMsgCantWrite);
        return false;
    }
    return true;
}

bool RemoveAddress(const std::string& name, const MessageSink& show) {
    CRegKey key;
    if (key.OpenLocalMachine(kIpAddrListKey, kKeyAllAccess) != 0) show(kMsgCantOpenKey);
    if (!key.IsOpen() || key.DeleteValue(name.c_str()) != 0) {
        show(kMsgCantDeleteValue);
        return false;
    }
    return true;
}

bool ParseDottedAddress(const std::string& text, uint32_t* address) {
    uint32_t result = 0;
    size_t pos = 0;
    for (int field = 0; field < 4; ++field) {
        if (field > 0) {
            if (pos >= text.size() || text[pos] != '.') return false;
            ++pos;
        }
        size_t start = pos;
        uint32_t value = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - start < 3) {
            value = value * 10 + static_cast<uint32_t>(text[pos] - '0');
            ++pos;
        }
        if (pos == start || value > 255) return false;
        result = (result << 8) | value;
    }
    if (pos != text.size()) return false;
    *address = result;
    return true;
}

}  // namespace tovl
