#include "admin/win32/ip_list_dialog_win32.h"

#include <commctrl.h>

#include <string>
#include <vector>

#include "admin/allowed_list.h"
#include "admin/win32/add_ip_dialog_win32.h"
#include "admin/win32/resource_win32.h"

namespace tovl {

namespace {
// Full-row selection, flat scroll bars, sub-item images.
constexpr DWORD kListExtendedStyles = LVS_EX_FULLROWSELECT | LVS_EX_FLATSB | LVS_EX_SUBITEMIMAGES;
static_assert(kListExtendedStyles == 0x122);
}  // namespace

CAboutDialog::CAboutDialog(HWND parent) : CDialog(IDD_ABOUTBOX, parent) {}

CIpListDialog::CIpListDialog()
    : CDialog(IDD_IPLIST_DIALOG, nullptr),
      icon_(LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDR_MAINFRAME))) {}

BOOL CIpListDialog::OnInitDialog() {
    BuildList();
    return TRUE;
}

void CIpListDialog::BuildList() {
    if (!listInitialised_) {
        HMENU menu = GetSystemMenu(hwnd_, FALSE);
        char text[256] = "";
        LoadStringA(GetModuleHandleA(nullptr), IDS_ABOUTBOX, text, sizeof text);
        if (menu && text[0]) {
            AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
            AppendMenuA(menu, MF_STRING, IDM_ABOUTBOX, text);
        }
    }
    SendMessageA(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
    SendMessageA(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon_));

    HWND list = List();
    DWORD styles = static_cast<DWORD>(ListView_GetExtendedListViewStyle(list));
    ListView_SetExtendedListViewStyle(list, styles | kListExtendedStyles);
    ListView_DeleteColumn(list, 0);
    char title[] = "IP address";
    LVCOLUMNA column = {};
    column.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT;
    column.fmt = LVCFMT_CENTER;
    column.cx = 150;
    column.pszText = title;
    SendMessageA(list, LVM_INSERTCOLUMNA, 0, reinterpret_cast<LPARAM>(&column));
    ListView_DeleteAllItems(list);

    HWND self = hwnd_;
    std::vector<std::string> rows =
        BuildAddressList([self](const char* text) { ShowProgramMessage(self, text); });
    for (size_t i = 0; i < rows.size(); ++i) {
        LVITEMA item = {};
        item.mask = LVIF_TEXT;
        item.iItem = static_cast<int>(i);
        item.pszText = rows[i].data();
        SendMessageA(list, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item));
    }
    listInitialised_ = true;
}

bool CIpListDialog::OnCommand(WORD id) {
    switch (id) {
        case IDC_ADD_IP: {
            CAddIpDialog dialog(hwnd_);
            dialog.DoModal();
            BuildList();
            return true;
        }
        case IDC_REMOVE_IP:
            RemoveSelected();
            return true;
        case IDC_EXIT:
            OnCancel();
            return true;
        default:
            return false;
    }
}

void CIpListDialog::RemoveSelected() {
    HWND list = List();
    int row = ListView_GetSelectionMark(list);
    if (row == -1) return;
    // A value name may be long; grow the buffer until the text fits.
    std::vector<char> text(256);
    for (;;) {
        LVITEMA item = {};
        item.iSubItem = 0;
        item.pszText = text.data();
        item.cchTextMax = static_cast<int>(text.size());
        LRESULT length = SendMessageA(list, LVM_GETITEMTEXTA, row, reinterpret_cast<LPARAM>(&item));
        if (static_cast<size_t>(length) + 1 < text.size() || text.size() >= 32768) break;
        text.resize(text.size() * 2);
    }
    HWND self = hwnd_;
    if (RemoveAddress(text.data(), [self](const char* msg) { ShowProgramMessage(self, msg); })) {
        BuildList();
    }
}

void CIpListDialog::PaintMinimised() {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(hwnd_, &paint);
    SendMessageA(hwnd_, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    int cxIcon = GetSystemMetrics(SM_CXICON);
    int cyIcon = GetSystemMetrics(SM_CYICON);
    RECT rect;
    GetClientRect(hwnd_, &rect);
    int x = (rect.right - rect.left - cxIcon + 1) / 2;
    int y = (rect.bottom - rect.top - cyIcon + 1) / 2;
    DrawIcon(dc, x, y, icon_);
    EndPaint(hwnd_, &paint);
}

INT_PTR CIpListDialog::OnMessage(UINT message, WPARAM wParam, LPARAM, bool* handled) {
    switch (message) {
        case WM_SYSCOMMAND:
            if ((wParam & 0xFFF0) == IDM_ABOUTBOX) {
                CAboutDialog about(hwnd_);
                about.DoModal();
                *handled = true;
            }
            return 0;
        case WM_PAINT:
            if (IsIconic(hwnd_)) {
                PaintMinimised();
                *handled = true;
            }
            return 0;
        case WM_QUERYDRAGICON:
            *handled = true;
            return reinterpret_cast<INT_PTR>(icon_);
        default:
            return 0;
    }
}

}  // namespace tovl
