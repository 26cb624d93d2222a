#include "admin/posix/add_ip_dialog_posix.h"

#include "admin/allowed_list.h"
#include "admin/posix/gtk_support_posix.h"

namespace tovl {

namespace {
constexpr int kResponseAdded = 0;
}

CAddIpDialog::CAddIpDialog(GtkWindow* owner) {
    dialog_ = gtk_dialog_new();
    gtk_window_set_title(GTK_WINDOW(dialog_), "Add Ip");
    gtk_window_set_transient_for(GTK_WINDOW(dialog_), owner);
    gtk_window_set_modal(GTK_WINDOW(dialog_), TRUE);
    gtk_window_set_resizable(GTK_WINDOW(dialog_), FALSE);
    GtkWidget* fixed = gtk_fixed_new();
    gtk_widget_set_size_request(fixed, DluX(186), DluY(58));
    PlaceAt(GTK_FIXED(fixed), entry_.Widget(), 43, 7, 100, 15);
    GtkWidget* add = gtk_button_new_with_label("Add");
    PlaceAt(GTK_FIXED(fixed), add, 29, 37, 50, 14);
    GtkWidget* cancel = gtk_button_new_with_label("Cancel");
    PlaceAt(GTK_FIXED(fixed), cancel, 108, 37, 50, 14);
    g_signal_connect(add, "clicked", G_CALLBACK(OnAdd), this);
    g_signal_connect(cancel, "clicked", G_CALLBACK(+[](GtkButton*, gpointer dialog) {
                         gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_CANCEL);
                     }),
                     dialog_);
    gtk_container_add(GTK_CONTAINER(gtk_dialog_get_content_area(GTK_DIALOG(dialog_))), fixed);
    gtk_widget_set_can_default(add, TRUE);
    gtk_widget_grab_default(add);
    entry_.SetAddress(address_);
}

CAddIpDialog::~CAddIpDialog() {
    gtk_widget_destroy(dialog_);
}

int CAddIpDialog::DoModal() {
    gtk_widget_show_all(dialog_);
    // Cancel, Esc and the close box all end it without an add.
    int response = gtk_dialog_run(GTK_DIALOG(dialog_));
    return response == kResponseAdded ? kResponseAdded : GTK_RESPONSE_CANCEL;
}

void CAddIpDialog::OnAdd(GtkButton*, gpointer data) {
    auto* self = static_cast<CAddIpDialog*>(data);
    self->address_ = self->entry_.GetAddress();
    GtkWindow* owner = GTK_WINDOW(self->dialog_);
    if (AddAddress(self->address_,
                   [owner](const char* text) { ShowProgramMessage(owner, text); })) {
        gtk_dialog_response(GTK_DIALOG(self->dialog_), kResponseAdded);
    }
}

}  // namespace tovl
