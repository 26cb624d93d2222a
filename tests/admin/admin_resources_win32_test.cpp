// tovladmin's resources as the program carries them: the dialog templates
// read back control by control, the string, the icon sizes, the logo and
// the version. This test program is linked with the program's resource
// script.
#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "admin/win32/resource_win32.h"

namespace {

struct Control {
    std::string className;
    std::string text;  // "#n" for a resource number
    int id;
    int x, y, w, h;
    DWORD style;
    DWORD exStyle;
};

struct Template {
    DWORD style = 0;
    DWORD exStyle = 0;
    int w = 0, h = 0;
    std::string caption;
    int fontSize = 0;
    std::string font;
    std::vector<Control> controls;
};

// Reads a DLGTEMPLATEEX.
class CTemplateReader {
  public:
    explicit CTemplateReader(const uint8_t* data) : p_(data), start_(data) {}

    Template Read() {
        Template t;
        EXPECT_EQ(Word(), 1);       // dlgVer
        EXPECT_EQ(Word(), 0xFFFF);  // signature
        Dword();                    // helpID
        t.exStyle = Dword();
        t.style = Dword();
        int count = Word();
        Word(), Word();
        t.w = static_cast<int16_t>(Word());
        t.h = static_cast<int16_t>(Word());
        EXPECT_EQ(SzOrOrd(), "");  // no menu
        EXPECT_EQ(SzOrOrd(), "");  // the standard dialog class
        t.caption = Sz();
        if (t.style & DS_SETFONT) {
            t.fontSize = Word();
            Word();
            Word();  // italic, charset
            t.font = Sz();
        }
        for (int i = 0; i < count; ++i) {
            Align();
            Control c;
            Dword();  // helpID
            c.exStyle = Dword();
            c.style = Dword();
            c.x = static_cast<int16_t>(Word());
            c.y = static_cast<int16_t>(Word());
            c.w = static_cast<int16_t>(Word());
            c.h = static_cast<int16_t>(Word());
            c.id = static_cast<int>(Dword());
            c.className = SzOrOrd();
            if (c.className == "#128") c.className = "Button";
            if (c.className == "#130") c.className = "Static";
            c.text = SzOrOrd();
            p_ += Word();  // creation data
            t.controls.push_back(c);
        }
        return t;
    }

  private:
    uint16_t Word() {
        uint16_t v;
        memcpy(&v, p_, 2);
        p_ += 2;
        return v;
    }
    DWORD Dword() {
        DWORD v;
        memcpy(&v, p_, 4);
        p_ += 4;
        return v;
    }
    void Align() {
        while ((p_ - start_) % 4) ++p_;
    }
    std::string Sz() {
        std::string s;
        for (uint16_t c = Word(); c; c = Word()) s += static_cast<char>(c);
        return s;
    }
    std::string SzOrOrd() {
        uint16_t first;
        memcpy(&first, p_, 2);
        if (first == 0xFFFF) {
            p_ += 2;
            return "#" + std::to_string(Word());
        }
        return Sz();
    }

    const uint8_t* p_;
    const uint8_t* start_;
};

const uint8_t* FindResourceData(LPCSTR type, int id, DWORD* size = nullptr) {
    HRSRC res = FindResourceA(nullptr, MAKEINTRESOURCEA(id), type);
    if (!res) return nullptr;
    if (size) *size = SizeofResource(nullptr, res);
    return static_cast<const uint8_t*>(LockResource(LoadResource(nullptr, res)));
}

Template LoadTemplate(int id) {
    const uint8_t* data = FindResourceData(RT_DIALOG, id);
    if (!data) {
        ADD_FAILURE() << "no dialog " << id;
        return {};
    }
    return CTemplateReader(data).Read();
}

constexpr DWORD kChild = WS_CHILD | WS_VISIBLE;

void ExpectControl(const Control& c, const char* className, const char* text, int id, int x, int y,
                   int w, int h, DWORD style, DWORD exStyle = 0) {
    SCOPED_TRACE(std::string(className) + " " + text);
    EXPECT_EQ(c.className, className);
    EXPECT_EQ(c.text, text);
    EXPECT_EQ(c.id, id);
    EXPECT_EQ(c.x, x);
    EXPECT_EQ(c.y, y);
    EXPECT_EQ(c.w, w);
    EXPECT_EQ(c.h, h);
    EXPECT_EQ(c.style, style | kChild);
    EXPECT_EQ(c.exStyle, exStyle);
}

TEST(AdminResources, MainDialog102) {
    Template t = LoadTemplate(IDD_IPLIST_DIALOG);
    EXPECT_EQ(t.caption, "Portdesk Config Tool");
    EXPECT_EQ(t.w, 268);
    EXPECT_EQ(t.h, 138);
    EXPECT_EQ(t.font, "MS Shell Dlg");
    EXPECT_EQ(t.fontSize, 8);
    EXPECT_EQ(t.style, DWORD{DS_SETFONT | DS_MODALFRAME | WS_POPUP | WS_VISIBLE | WS_CAPTION |
                             WS_SYSMENU | WS_MINIMIZEBOX});
    EXPECT_EQ(t.exStyle, DWORD{WS_EX_APPWINDOW});
    ASSERT_EQ(t.controls.size(), 5u);
    ExpectControl(t.controls[0], "SysListView32", "", 1003, 7, 7, 139, 125,
                  LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS | LVS_NOSORTHEADER | WS_TABSTOP,
                  WS_EX_STATICEDGE);
    // No default button among them.
    ExpectControl(t.controls[1], "Button", "Add IP address", 1004, 162, 7, 90, 14,
                  BS_PUSHBUTTON | BS_FLAT | WS_TABSTOP);
    ExpectControl(t.controls[2], "Button", "Remove IP address", 1011, 162, 25, 90, 14,
                  BS_PUSHBUTTON | BS_FLAT | WS_TABSTOP);
    ExpectControl(t.controls[3], "Button", "Exit", 1012, 162, 42, 90, 14,
                  BS_PUSHBUTTON | BS_FLAT | WS_TABSTOP);
    ExpectControl(t.controls[4], "Static", "#135", -1, 154, 103, 107, 28, SS_BITMAP);
}

TEST(AdminResources, AboutBox100) {
    Template t = LoadTemplate(IDD_ABOUTBOX);
    EXPECT_EQ(t.caption, "About tovladmin");
    EXPECT_EQ(t.w, 266);
    EXPECT_EQ(t.h, 55);
    EXPECT_EQ(t.font, "MS Shell Dlg");
    EXPECT_EQ(t.fontSize, 8);
    EXPECT_EQ(t.style, DWORD{DS_SETFONT | DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU});
    ASSERT_EQ(t.controls.size(), 4u);
    ExpectControl(t.controls[0], "Static", "#142", -1, 11, 17, 21, 20, SS_ICON);
    ExpectControl(t.controls[1], "Static", "Portdesk Configuration Tool Version 3.4", -1, 40, 10,
                  166, 8, SS_LEFT | SS_NOPREFIX | WS_GROUP);
    EXPECT_EQ(t.controls[2].className, "Static");
    EXPECT_FALSE(t.controls[2].text.empty());
    ExpectControl(t.controls[2], "Static", t.controls[2].text.c_str(), -1, 40, 25, 119, 8,
                  SS_LEFT | WS_GROUP);
    ExpectControl(t.controls[3], "Button", "OK", IDOK, 209, 7, 50, 16,
                  BS_DEFPUSHBUTTON | BS_FLAT | WS_GROUP | WS_TABSTOP);
}

TEST(AdminResources, AddDialog133) {
    Template t = LoadTemplate(IDD_ADDIP_DIALOG);
    EXPECT_EQ(t.caption, "Add Ip");
    EXPECT_EQ(t.w, 186);
    EXPECT_EQ(t.h, 58);
    EXPECT_EQ(t.font, "MS Shell Dlg");
    EXPECT_EQ(t.fontSize, 8);
    EXPECT_EQ(t.style, DWORD{DS_SETFONT | DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU});
    ASSERT_EQ(t.controls.size(), 3u);
    ExpectControl(t.controls[0], "SysIPAddress32", "", 1009, 43, 7, 100, 15, WS_TABSTOP);
    ExpectControl(t.controls[1], "Button", "Add", 1010, 29, 37, 50, 14,
                  BS_DEFPUSHBUTTON | BS_FLAT | WS_TABSTOP);
    ExpectControl(t.controls[2], "Button", "Cancel", IDCANCEL, 108, 37, 50, 14,
                  BS_PUSHBUTTON | BS_FLAT | WS_TABSTOP);
}

TEST(AdminResources, AboutMenuString101) {
    char text[64] = "";
    ASSERT_GT(LoadStringA(GetModuleHandleA(nullptr), IDS_ABOUTBOX, text, sizeof text), 0);
    EXPECT_STREQ(text, "&About tovladmin...");
}

TEST(AdminResources, IconGroup142HasFourSizes) {
    DWORD size = 0;
    const uint8_t* group = FindResourceData(RT_GROUP_ICON, IDR_MAINFRAME, &size);
    ASSERT_NE(group, nullptr);
    uint16_t count;
    memcpy(&count, group + 4, 2);
    ASSERT_EQ(count, 4u);
    ASSERT_GE(size, 6u + 14u * count);
    std::vector<int> widths, heights;
    for (int i = 0; i < count; ++i) {
        const uint8_t* entry = group + 6 + 14 * i;
        widths.push_back(entry[0]);
        heights.push_back(entry[1]);
    }
    EXPECT_EQ(widths, (std::vector<int>{16, 24, 32, 48}));
    EXPECT_EQ(heights, widths);
}

TEST(AdminResources, Bitmap135Is160By45With24Bits) {
    const uint8_t* data = FindResourceData(RT_BITMAP, IDB_LOGO);
    ASSERT_NE(data, nullptr);
    BITMAPINFOHEADER info;
    memcpy(&info, data, sizeof info);
    EXPECT_EQ(info.biWidth, 160);
    EXPECT_EQ(info.biHeight, 45);
    EXPECT_EQ(info.biBitCount, 24);
}

TEST(AdminResources, VersionIs1001) {
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, sizeof path);
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(path, &handle);
    ASSERT_GT(size, 0u);
    std::vector<char> block(size);
    ASSERT_TRUE(GetFileVersionInfoA(path, 0, size, block.data()));
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&info), &length));
    EXPECT_EQ(info->dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(info->dwFileVersionLS, 0x00000001u);
    EXPECT_EQ(info->dwProductVersionMS, 0x00010000u);
    EXPECT_EQ(info->dwProductVersionLS, 0x00000001u);
}

}  // namespace
