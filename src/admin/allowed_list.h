// The allowed-address list of tovlserver as tovladmin edits it: one value
// per address under HKEY_LOCAL_MACHINE\Software\Dravik\TOVL\IpAddr, named by
// the address in dotted decimal, or an IPv6 address by its canonical text
// (config/address_text.h; the command line only: the dialogs take IPv4). Both front-ends (the Win32
// dialogs and the Linux dialogs and command line) use these functions; they differ only in how a
// message reaches the administrator, which the caller passes in. The key is opened afresh for every
// operation and never created.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "config/product_keys.h"

namespace tovl {

// The list build opens the key with a trailing backslash, add without one;
// both name the same key.
// The list is enumerated and edited through the key of the product's
// configuration module.
inline constexpr const char* kIpAddrAddKey = kIpAddrKey;

constexpr const char* kMsgCantOpenKey = "Can't Open Registry Key. Try To Reinstall Application!!!";
constexpr const char* kMsgCantDeleteValue = "Can't Delete Registry Value";
constexpr const char* kMsgCantWrite = "Can't Write to Registry. Try To Reinstall Application!!!";

// At most this many names are read from the key.
constexpr uint32_t kMaxListedAddresses = 256;

// Shows one message to the administrator and returns when it was seen.
using MessageSink = std::function<void(const char* text)>;

// The rows of the list, top row first: value names in the reverse of the
// enumeration order, at most 256, ending at the first enumeration failure.
// A key that can't be opened shows kMsgCantOpenKey and gives no rows;
// *opened (if given) tells which happened.
std::vector<std::string> BuildAddressList(const MessageSink& show, bool* opened = nullptr);

// The value name of an address held with its first field in the most
// significant byte: four decimal numbers without leading zeros joined by ".".
std::string AddressValueName(uint32_t address);

// The address of four fields as the IP address control delivers them.
uint32_t AddressFromFields(uint8_t f0, uint8_t f1, uint8_t f2, uint8_t f3);

// Writes the value named by the address, REG_SZ with no data. On an open
// failure shows kMsgCantOpenKey and then kMsgCantWrite; on a write failure
// kMsgCantWrite. True when the value was written.
bool AddAddress(uint32_t address, const MessageSink& show);

// Writes the value called name (an address already in its list name), as
// AddAddress does.
bool AddAddressName(const std::string& name, const MessageSink& show);

// Deletes exactly the value called name. On an open failure shows
// kMsgCantOpenKey and then kMsgCantDeleteValue; on a delete failure
// kMsgCantDeleteValue. True when the value was deleted.
bool RemoveAddress(const std::string& name, const MessageSink& show);

// Reads "A.B.C.D" strictly: four decimal numbers of one to three digits,
// each 0 to 255, nothing else (no signs, blanks or other characters).
bool ParseDottedAddress(const std::string& text, uint32_t* address);

}  // namespace tovl
