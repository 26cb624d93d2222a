// tovladmin for Linux: the allowed-address list in GTK dialogs when a
// display is there, or on the command line (list, add, remove; init, port,
// device, rfc2217, check).
#include <gtk/gtk.h>

#include <iostream>
#include <string>
#include <vector>

#include "admin/command_line.h"
#include "admin/config_commands.h"
#include "admin/posix/ip_list_dialog_posix.h"

int main(int argc, char** argv) {
    if (argc > 1) {
        std::vector<std::string> args(argv + 1, argv + argc);
        int exitCode = 0;
        if (tovl::RunConfigCommand(args, std::cout, std::cerr, &exitCode)) return exitCode;
        return tovl::RunAdminCommand(args, std::cout, std::cerr);
    }
    // Without a display there is no dialog to show.
    if (!gtk_init_check(&argc, &argv)) {
        std::cerr << "tovladmin: no display to show the dialog on\n";
        tovl::PrintAdminUsage(std::cerr);
        return tovl::kAdminExitUsage;
    }
    tovl::CIpListDialog dialog;
    dialog.Show();
    gtk_main();
    return tovl::kAdminExitOk;
}
