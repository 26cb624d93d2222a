// The least dialog framework tovladmin needs: a modal dialog on a resource
// template whose messages reach virtual handlers of a C++ object, and the
// program's message box. One thread (the program's only one) runs them.
#pragma once

#include <windows.h>

namespace tovl {

class CDialog {
  public:
    CDialog(UINT templateId, HWND parent) : templateId_(templateId), parent_(parent) {}
    virtual ~CDialog() = default;
    CDialog(const CDialog&) = delete;
    CDialog& operator=(const CDialog&) = delete;

    // Runs the dialog until EndDialog; returns its result (-1 if the
    // template could not be made into a window).
    INT_PTR DoModal();
    HWND Handle() const { return hwnd_; }

  protected:
    // Returns whether the platform is to focus the first control itself.
    virtual BOOL OnInitDialog() { return TRUE; }
    // A button's click; true when handled. OK and Cancel end the dialog
    // unless a subclass handles them.
    virtual bool OnCommand(WORD id) {
        (void)id;
        return false;
    }
    // Any other message; *handled tells the platform to skip its default.
    virtual INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam, bool* handled) {
        (void)message, (void)wParam, (void)lParam, (void)handled;
        return 0;
    }
    void EndDialog(INT_PTR result) { ::EndDialog(hwnd_, result); }
    void OnCancel() { EndDialog(IDCANCEL); }

    HWND hwnd_ = nullptr;

  private:
    static INT_PTR CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

    UINT templateId_;
    HWND parent_;
};

// A message box owned by owner with the program's name as caption, an OK
// button and no icon.
void ShowProgramMessage(HWND owner, const char* text);

}  // namespace tovl
