// The main dialog's behaviour, driven from a second thread while the test's
// main thread runs it modally: the about item is added once however often
// the list is rebuilt, the about box opens for any command 0x10 to 0x1F,
// removal takes the row at the selection mark, and Exit ends the dialog.
// Needs a display (the tests run it under Xvfb).
#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "admin/win32/ip_list_dialog_win32.h"
#include "admin/win32/resource_win32.h"
#include "platform/registry.h"
#include "test_support/temp_registry.h"

namespace {

constexpr const char* kKey = "Software\\Dravik\\TOVL\\IpAddr";

HWND WaitForWindow(const char* title, bool gone = false) {
    for (int i = 0; i < 200; ++i) {
        HWND window = FindWindowA(nullptr, title);
        if (gone ? window == nullptr : window != nullptr) return window;
        Sleep(50);
    }
    return nullptr;
}

std::vector<std::string> Rows(HWND list) {
    std::vector<std::string> rows;
    int count = static_cast<int>(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) {
        char text[64] = "";
        LVITEMA item = {};
        item.pszText = text;
        item.cchTextMax = sizeof text;
        SendMessageA(list, LVM_GETITEMTEXTA, i, reinterpret_cast<LPARAM>(&item));
        rows.emplace_back(text);
    }
    return rows;
}

std::vector<std::string> Names() {
    std::vector<std::string> names;
    tovl::CRegKey key;
    if (key.OpenLocalMachine(kKey) != 0) return names;
    std::string name;
    for (uint32_t i = 0; key.EnumValueName(i, &name) == 0; ++i) names.push_back(name);
    return names;
}

void Click(HWND dialog, int id) {
    SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

struct Seen {
    std::vector<std::string> firstRows;
    std::vector<std::string> rowsAfterRemovals;
    int aboutItems = -1;
    bool separatorBeforeAbout = false;
    int aboutItemCommand = 0;
    bool aboutBoxOn0x13 = false;
    bool aboutBoxClosed = false;
    int columns = 0;
    DWORD extendedStyles = 0;
    LRESULT dragIcon = 0;
    LRESULT bigIcon = 0;
    LRESULT smallIcon = 0;
};

void Drive(Seen* seen) {
    HWND main = WaitForWindow("Portdesk Config Tool");
    if (!main) return;
    HWND list = GetDlgItem(main, IDC_IPLIST);
    seen->firstRows = Rows(list);
    // With no selection mark, remove does nothing.
    Click(main, IDC_REMOVE_IP);
    // Each removal of the top row rebuilds the list.
    for (int i = 0; i < 2; ++i) {
        SendMessageA(list, LVM_SETSELECTIONMARK, 0, 0);
        Click(main, IDC_REMOVE_IP);
    }
    seen->rowsAfterRemovals = Rows(list);
    HWND header = reinterpret_cast<HWND>(SendMessageA(list, LVM_GETHEADER, 0, 0));
    seen->columns = static_cast<int>(SendMessageA(header, HDM_GETITEMCOUNT, 0, 0));
    seen->extendedStyles =
        static_cast<DWORD>(SendMessageA(list, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0));

    seen->dragIcon = SendMessageA(main, WM_QUERYDRAGICON, 0, 0);
    seen->bigIcon = SendMessageA(main, WM_GETICON, ICON_BIG, 0);
    seen->smallIcon = SendMessageA(main, WM_GETICON, ICON_SMALL, 0);

    HMENU menu = GetSystemMenu(main, FALSE);
    int count = GetMenuItemCount(menu);
    seen->aboutItems = 0;
    for (int i = 0; i < count; ++i) {
        char text[64] = "";
        GetMenuStringA(menu, i, text, sizeof text, MF_BYPOSITION);
        if (std::string(text) != "&About tovladmin...") continue;
        ++seen->aboutItems;
        seen->aboutItemCommand = static_cast<int>(GetMenuItemID(menu, i));
        seen->separatorBeforeAbout =
            i > 0 && (GetMenuState(menu, i - 1, MF_BYPOSITION) & MF_SEPARATOR) != 0;
    }

    // The low four bits of the command are not looked at.
    PostMessageA(main, WM_SYSCOMMAND, 0x13, 0);
    HWND about = WaitForWindow("About tovladmin");
    seen->aboutBoxOn0x13 = about != nullptr;
    if (about) {
        PostMessageA(about, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        seen->aboutBoxClosed = WaitForWindow("About tovladmin", true) == nullptr;
    }
    PostMessageA(main, WM_COMMAND, MAKEWPARAM(IDC_EXIT, BN_CLICKED), 0);
}

TEST(AdminDialog, RebuildsKeepOneAboutItemAndRemoveTakesTheMarkedRow) {
    testing_support::TempRegistry registry;
    for (const char* name : {"10.0.0.1", "10.0.0.2", "10.0.0.3"}) registry.SetValue(kKey, name, "");
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_LISTVIEW_CLASSES | ICC_INTERNET_CLASSES};
    InitCommonControlsEx(&controls);

    Seen seen;
    std::thread driver(Drive, &seen);
    tovl::CIpListDialog dialog;
    INT_PTR result = dialog.DoModal();
    driver.join();

    EXPECT_EQ(result, IDCANCEL) << "Exit ends the dialog through cancel";
    EXPECT_EQ(seen.firstRows, (std::vector<std::string>{"10.0.0.3", "10.0.0.2", "10.0.0.1"}));
    EXPECT_EQ(seen.rowsAfterRemovals, (std::vector<std::string>{"10.0.0.1"}));
    EXPECT_EQ(Names(), (std::vector<std::string>{"10.0.0.1"}));
    EXPECT_EQ(seen.columns, 1);
    EXPECT_EQ(seen.extendedStyles & 0x122u, 0x122u);
    EXPECT_EQ(seen.aboutItems, 1) << "the about item after three list builds";
    EXPECT_TRUE(seen.separatorBeforeAbout);
    EXPECT_EQ(seen.aboutItemCommand, IDM_ABOUTBOX);
    EXPECT_TRUE(seen.aboutBoxOn0x13);
    EXPECT_TRUE(seen.aboutBoxClosed);
    // The application icon, shared by the dialog's icons and the drag icon.
    LRESULT icon = reinterpret_cast<LRESULT>(
        LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDR_MAINFRAME)));
    EXPECT_NE(icon, 0);
    EXPECT_EQ(seen.dragIcon, icon);
    EXPECT_EQ(seen.bigIcon, icon);
    EXPECT_EQ(seen.smallIcon, icon);
}

}  // namespace
