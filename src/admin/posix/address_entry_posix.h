// A four-field IPv4 entry that behaves like the Windows IP address control:
// digits only, each field 0 to 255 (a larger number becomes 255), a blank
// field counts as 0, "." or a third digit moves on to the next field.
#pragma once

#include <gtk/gtk.h>

#include <cstdint>

namespace tovl {

class CAddressEntry {
  public:
    CAddressEntry();
    GtkWidget* Widget() const { return box_; }
    // First field in the most significant byte.
    uint32_t GetAddress() const;
    void SetAddress(uint32_t address);
    // Field 0 to 3, left to right.
    GtkWidget* Field(int index) const { return fields_[index]; }

  private:
    static void OnInsertText(GtkEditable* editable, gchar* text, gint length, gint* position,
                             gpointer self);
    static void OnChanged(GtkEditable* editable, gpointer self);
    int FieldIndex(GtkEditable* editable) const;

    GtkWidget* box_;
    GtkWidget* fields_[4];
};

}  // namespace tovl
