// The main dialog (template 102): the allowed addresses, rebuilt from the
// registry after every change, with add, remove, exit and the about box on
// the system menu.
#pragma once

#include "admin/win32/dialog_win32.h"

namespace tovl {

class CIpListDialog : public CDialog {
  public:
    CIpListDialog();

  protected:
    BOOL OnInitDialog() override;
    bool OnCommand(WORD id) override;
    INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam, bool* handled) override;

  private:
    void BuildList();
    void RemoveSelected();
    void PaintMinimised();
    HWND List() const { return GetDlgItem(hwnd_, 1003); }

    HICON icon_;
    // Keeps the system-menu item from being added again on a rebuild.
    bool listInitialised_ = false;
};

// The about box (template 100).
class CAboutDialog : public CDialog {
  public:
    explicit CAboutDialog(HWND parent);
};

}  // namespace tovl
