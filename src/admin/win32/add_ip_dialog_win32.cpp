#include "admin/win32/add_ip_dialog_win32.h"

#include <commctrl.h>

#include "admin/allowed_list.h"
#include "admin/win32/resource_win32.h"

namespace tovl {

CAddIpDialog::CAddIpDialog(HWND parent) : CDialog(IDD_ADDIP_DIALOG, parent) {}

BOOL CAddIpDialog::OnInitDialog() {
    SendDlgItemMessageA(hwnd_, IDC_IPADDRESS, IPM_SETADDRESS, 0, static_cast<LPARAM>(address_));
    // The dialog leaves the focus where the platform puts it.
    return FALSE;
}

bool CAddIpDialog::OnCommand(WORD id) {
    if (id != IDC_ADD) return false;
    // Blank fields count as 0; the control's answer is not looked at.
    DWORD address = 0;
    SendDlgItemMessageA(hwnd_, IDC_IPADDRESS, IPM_GETADDRESS, 0,
                        reinterpret_cast<LPARAM>(&address));
    address_ = address;
    HWND self = hwnd_;
    if (AddAddress(address_, [self](const char* text) { ShowProgramMessage(self, text); })) {
        EndDialog(0);
    }
    return true;
}

}  // namespace tovl
