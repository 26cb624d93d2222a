#include "admin/win32/dialog_win32.h"

#include <string>

namespace tovl {

INT_PTR CDialog::DoModal() {
    return DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(templateId_), parent_,
                           &CDialog::Proc, reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK CDialog::Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    CDialog* self;
    if (message == WM_INITDIALOG) {
        self = reinterpret_cast<CDialog*>(lParam);
        SetWindowLongPtrA(hwnd, DWLP_USER, reinterpret_cast<LONG_PTR>(self));
        self->hwnd_ = hwnd;
        return self->OnInitDialog();
    }
    self = reinterpret_cast<CDialog*>(GetWindowLongPtrA(hwnd, DWLP_USER));
    if (!self) return FALSE;
    if (message == WM_COMMAND && HIWORD(wParam) == BN_CLICKED) {
        WORD id = LOWORD(wParam);
        if (self->OnCommand(id)) return TRUE;
        if (id == IDOK || id == IDCANCEL) {
            self->EndDialog(id);
            return TRUE;
        }
        return FALSE;
    }
    bool handled = false;
    INT_PTR result = self->OnMessage(message, wParam, lParam, &handled);
    return handled ? result : FALSE;
}

void ShowProgramMessage(HWND owner, const char* text) {
    // The caption is the executable's base name, as the framework names
    // the application.
    char path[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, path, sizeof path);
    std::string name = path;
    size_t slash = name.find_last_of("\\/");
    if (slash != std::string::npos) name.erase(0, slash + 1);
    size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0) name.erase(dot);
    MessageBoxA(owner, text, name.c_str(), MB_OK);
}

}  // namespace tovl
