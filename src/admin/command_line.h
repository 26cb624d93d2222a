// tovladmin's command line for machines without a display:
//   list             the value names in the order of the dialog's list
//   add ADDRESS      allow an address: four numbers 0 to 255, or IPv6 (the
//                    value is named by its canonical text)
//   remove NAME      delete exactly the value NAME
// Exit codes: 0 success, 1 registry failure (with the dialogs' messages on
// the error stream), 2 usage error.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace tovl {

constexpr int kAdminExitOk = 0;
constexpr int kAdminExitRegistry = 1;
constexpr int kAdminExitUsage = 2;

// args holds the words after the program name.
int RunAdminCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

void PrintAdminUsage(std::ostream& err);

}  // namespace tovl
