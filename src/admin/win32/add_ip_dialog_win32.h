// The add-address dialog (template 133): one IPv4 address typed into the IP
// address control and written to the allowed-address list.
#pragma once

#include <cstdint>

#include "admin/win32/dialog_win32.h"

namespace tovl {

class CAddIpDialog : public CDialog {
  public:
    explicit CAddIpDialog(HWND parent);

  protected:
    BOOL OnInitDialog() override;
    bool OnCommand(WORD id) override;

  private:
    // First field in the most significant byte.
    uint32_t address_ = 0;
};

}  // namespace tovl
