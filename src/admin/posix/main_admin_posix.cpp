// tovladmin for Linux: the allowed-address list in GTK dialogs when a
// display is there, or on the command line (list, add, remove).
#include <gtk/gtk.h>

#include <iostream>
#include <string>
#include <vector>

#include "admin/command_line.h"
#include "admin/posix/ip_list_dialog_posix.h"

int main(int argc, char** argv) {
    if (argc > 1) {
        std::vector<std::string> args(argv + 1, argv + argc);
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
