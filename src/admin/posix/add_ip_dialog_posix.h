// The add-address dialog "Add Ip" in GTK: one address typed into a
// four-field entry and written to the allowed-address list. A failed write
// leaves it open; one successful add ends it.
#pragma once

#include <gtk/gtk.h>

#include <cstdint>

#include "admin/posix/address_entry_posix.h"

namespace tovl {

class CAddIpDialog {
  public:
    explicit CAddIpDialog(GtkWindow* owner);
    ~CAddIpDialog();
    CAddIpDialog(const CAddIpDialog&) = delete;
    CAddIpDialog& operator=(const CAddIpDialog&) = delete;

    // Runs the dialog; 0 after an add, GTK_RESPONSE_CANCEL otherwise.
    int DoModal();

  private:
    static void OnAdd(GtkButton*, gpointer self);

    GtkWidget* dialog_;
    CAddressEntry entry_;
    uint32_t address_ = 0;
};

}  // namespace tovl
