#include "admin/posix/address_entry_posix.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace tovl {

CAddressEntry::CAddressEntry() {
    GtkWidget* inner = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
    for (int i = 0; i < 4; ++i) {
        if (i > 0) gtk_box_pack_start(GTK_BOX(inner), gtk_label_new("."), FALSE, FALSE, 0);
        fields_[i] = gtk_entry_new();
        gtk_entry_set_max_length(GTK_ENTRY(fields_[i]), 3);
        gtk_entry_set_width_chars(GTK_ENTRY(fields_[i]), 3);
        gtk_entry_set_has_frame(GTK_ENTRY(fields_[i]), FALSE);
        gtk_entry_set_alignment(GTK_ENTRY(fields_[i]), 0.5);
        gtk_entry_set_activates_default(GTK_ENTRY(fields_[i]), TRUE);
        gtk_entry_set_input_purpose(GTK_ENTRY(fields_[i]), GTK_INPUT_PURPOSE_DIGITS);
        g_signal_connect(fields_[i], "insert-text", G_CALLBACK(OnInsertText), this);
        g_signal_connect(fields_[i], "changed", G_CALLBACK(OnChanged), this);
        gtk_box_pack_start(GTK_BOX(inner), fields_[i], TRUE, TRUE, 0);
    }
    box_ = gtk_frame_new(nullptr);
    gtk_container_add(GTK_CONTAINER(box_), inner);
}

int CAddressEntry::FieldIndex(GtkEditable* editable) const {
    for (int i = 0; i < 4; ++i) {
        if (GTK_EDITABLE(fields_[i]) == editable) return i;
    }
    return -1;
}

void CAddressEntry::OnInsertText(GtkEditable* editable, gchar* text, gint length, gint* position,
                                 gpointer data) {
    auto* self = static_cast<CAddressEntry*>(data);
    std::string digits;
    bool advance = false;
    for (gint i = 0; i < (length < 0 ? static_cast<gint>(strlen(text)) : length); ++i) {
        if (text[i] >= '0' && text[i] <= '9') {
            digits += text[i];
        } else if (text[i] == '.') {
            advance = true;
        }
    }
    g_signal_stop_emission_by_name(editable, "insert-text");
    if (!digits.empty()) {
        g_signal_handlers_block_by_func(editable, reinterpret_cast<gpointer>(OnInsertText), data);
        gtk_editable_insert_text(editable, digits.c_str(), static_cast<gint>(digits.size()),
                                 position);
        g_signal_handlers_unblock_by_func(editable, reinterpret_cast<gpointer>(OnInsertText), data);
    }
    int index = self->FieldIndex(editable);
    if (advance && index >= 0 && index < 3) gtk_widget_grab_focus(self->fields_[index + 1]);
}

void CAddressEntry::OnChanged(GtkEditable* editable, gpointer data) {
    auto* self = static_cast<CAddressEntry*>(data);
    const char* text = gtk_entry_get_text(GTK_ENTRY(editable));
    if (atoi(text) > 255) {
        gtk_entry_set_text(GTK_ENTRY(editable), "255");
        return;
    }
    int index = self->FieldIndex(editable);
    if (strlen(text) == 3 && index >= 0 && index < 3 &&
        gtk_widget_has_focus(GTK_WIDGET(editable))) {
        gtk_widget_grab_focus(self->fields_[index + 1]);
    }
}

uint32_t CAddressEntry::GetAddress() const {
    uint32_t address = 0;
    for (GtkWidget* field : fields_) {
        // Blank counts as 0; the field never holds more than 255.
        int value = atoi(gtk_entry_get_text(GTK_ENTRY(field)));
        if (value > 255) value = 255;
        address = (address << 8) | static_cast<uint32_t>(value);
    }
    return address;
}

void CAddressEntry::SetAddress(uint32_t address) {
    for (int i = 0; i < 4; ++i) {
        std::string text = std::to_string((address >> (24 - 8 * i)) & 0xFF);
        gtk_entry_set_text(GTK_ENTRY(fields_[i]), text.c_str());
    }
}

}  // namespace tovl
