#include "admin/command_line.h"

#include <cstdint>

#include "admin/allowed_list.h"
#include "config/address_text.h"

namespace tovl {

void PrintAdminUsage(std::ostream& err) {
    err << "usage: tovladmin                 edit the allowed addresses in a window\n"
           "       tovladmin list            print the allowed addresses, top row first\n"
           "       tovladmin add ADDRESS     allow an address: A.B.C.D (four numbers 0 to 255)\n"
           "                                 or IPv6, written in its canonical form\n"
           "       tovladmin remove NAME     remove the entry NAME from the list\n";
}

int RunAdminCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    bool failed = false;
    MessageSink show = [&err, &failed](const char* text) {
        err << text << '\n';
        failed = true;
    };
    if (args.size() == 1 && args[0] == "list") {
        std::vector<std::string> rows = BuildAddressList(show);
        for (const std::string& row : rows) out << row << '\n';
        return failed ? kAdminExitRegistry : kAdminExitOk;
    }
    if (args.size() == 2 && args[0] == "add") {
        uint32_t address = 0;
        std::string name;
        if (ParseDottedAddress(args[1], &address))
            return AddAddress(address, show) ? kAdminExitOk : kAdminExitRegistry;
        if (ParseListedAddress(args[1], &name) == ListedAddressKind::NotAnAddress) {
            err << "tovladmin: \"" << args[1]
                << "\" is not an address; give four numbers 0 to 255 joined by dots, or an "
                   "IPv6 address\n";
            return kAdminExitUsage;
        }
        return AddAddressName(name, show) ? kAdminExitOk : kAdminExitRegistry;
    }
    if (args.size() == 2 && args[0] == "remove") {
        return RemoveAddress(args[1], show) ? kAdminExitOk : kAdminExitRegistry;
    }
    PrintAdminUsage(err);
    return kAdminExitUsage;
}

}  // namespace tovl
