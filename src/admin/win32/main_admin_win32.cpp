// tovladmin for Windows: the allowed-address list as a dialog program.
#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>

#include "admin/win32/ip_list_dialog_win32.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_LISTVIEW_CLASSES | ICC_INTERNET_CLASSES};
    InitCommonControlsEx(&controls);
    tovl::CIpListDialog dialog;
    dialog.DoModal();
    // However the dialog ended, the program ends with it.
    return 0;
}
