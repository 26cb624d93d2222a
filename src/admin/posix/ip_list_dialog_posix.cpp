#include "admin/posix/ip_list_dialog_posix.h"

#include <string>
#include <vector>

#include "admin/allowed_list.h"
#include "admin/posix/add_ip_dialog_posix.h"
#include "admin/posix/gtk_support_posix.h"

namespace tovl {

namespace {

constexpr const char* kAboutItemText = "&About tovladmin...";

GtkWidget* NewButton(GtkFixed* fixed, const char* label, int x, int y, int w, int h) {
    GtkWidget* button = gtk_button_new_with_label(label);
    PlaceAt(fixed, button, x, y, w, h);
    return button;
}

}  // namespace

CIpListDialog::CIpListDialog() {
    window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window_), "Portdesk Config Tool");
    gtk_window_set_resizable(GTK_WINDOW(window_), FALSE);
    GdkPixbuf* icon = NewIconPixbuf();
    gtk_window_set_icon(GTK_WINDOW(window_), icon);
    g_object_unref(icon);
    g_signal_connect(window_, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
    // Esc ends the dialog as Exit does.
    g_signal_connect(window_, "key-press-event",
                     G_CALLBACK(+[](GtkWidget* w, GdkEventKey* event, gpointer) -> gboolean {
                         if (event->keyval != GDK_KEY_Escape) return FALSE;
                         gtk_widget_destroy(w);
                         return TRUE;
                     }),
                     nullptr);

    GtkWidget* vbox = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    gtk_container_add(GTK_CONTAINER(window_), vbox);

    // The about item, in a menu of the program's name where Windows has it
    // in the system menu.
    GtkWidget* menuBar = gtk_menu_bar_new();
    char* label = MnemonicLabel(kAboutItemText);
    GtkWidget* about = gtk_menu_item_new_with_mnemonic(label);
    g_free(label);
    g_signal_connect(about, "activate", G_CALLBACK(+[](GtkMenuItem*, gpointer self) {
                         static_cast<CIpListDialog*>(self)->ShowAbout();
                     }),
                     this);
    GtkWidget* menu = gtk_menu_new();
    gtk_menu_shell_append(GTK_MENU_SHELL(menu), about);
    GtkWidget* top = gtk_menu_item_new_with_mnemonic("_tovladmin");
    gtk_menu_item_set_submenu(GTK_MENU_ITEM(top), menu);
    gtk_menu_shell_append(GTK_MENU_SHELL(menuBar), top);
    gtk_box_pack_start(GTK_BOX(vbox), menuBar, FALSE, FALSE, 0);

    GtkWidget* fixed = gtk_fixed_new();
    gtk_widget_set_size_request(fixed, DluX(268), DluY(138));
    gtk_box_pack_start(GTK_BOX(vbox), fixed, FALSE, FALSE, 0);

    store_ = gtk_list_store_new(1, G_TYPE_STRING);
    list_ = gtk_tree_view_new_with_model(GTK_TREE_MODEL(store_));
    g_object_unref(store_);
    GtkCellRenderer* cell = gtk_cell_renderer_text_new();
    g_object_set(cell, "xalign", 0.5, nullptr);
    GtkTreeViewColumn* column =
        gtk_tree_view_column_new_with_attributes("IP address", cell, "text", 0, nullptr);
    gtk_tree_view_column_set_alignment(column, 0.5);
    gtk_tree_view_column_set_sizing(column, GTK_TREE_VIEW_COLUMN_FIXED);
    gtk_tree_view_column_set_fixed_width(column, 150);
    gtk_tree_view_append_column(GTK_TREE_VIEW(list_), column);
    gtk_tree_selection_set_mode(gtk_tree_view_get_selection(GTK_TREE_VIEW(list_)),
                                GTK_SELECTION_SINGLE);
    GtkWidget* scroller = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(scroller), GTK_SHADOW_IN);
    gtk_container_add(GTK_CONTAINER(scroller), list_);
    PlaceAt(GTK_FIXED(fixed), scroller, 7, 7, 139, 125);

    GtkWidget* add = NewButton(GTK_FIXED(fixed), "Add IP address", 162, 7, 90, 14);
    GtkWidget* remove = NewButton(GTK_FIXED(fixed), "Remove IP address", 162, 25, 90, 14);
    GtkWidget* exitButton = NewButton(GTK_FIXED(fixed), "Exit", 162, 42, 90, 14);
    g_signal_connect(add, "clicked", G_CALLBACK(+[](GtkButton*, gpointer data) {
                         auto* self = static_cast<CIpListDialog*>(data);
                         {
                             CAddIpDialog dialog(GTK_WINDOW(self->window_));
                             dialog.DoModal();
                         }
                         // Rebuilt whatever the dialog's result.
                         self->BuildList();
                     }),
                     this);
    g_signal_connect(remove, "clicked", G_CALLBACK(+[](GtkButton*, gpointer data) {
                         static_cast<CIpListDialog*>(data)->RemoveSelected();
                     }),
                     this);
    g_signal_connect_swapped(exitButton, "clicked", G_CALLBACK(gtk_widget_destroy), window_);

    GdkPixbuf* logoPixbuf = NewLogoPixbuf();
    GtkWidget* logo = gtk_image_new_from_pixbuf(logoPixbuf);
    g_object_unref(logoPixbuf);
    PlaceAt(GTK_FIXED(fixed), logo, 154, 103, 107, 28);
}

void CIpListDialog::Show() {
    // As on Windows the list is built before the window appears, so a
    // message about the key comes first.
    BuildList();
    gtk_widget_show_all(window_);
}

void CIpListDialog::BuildList() {
    gtk_list_store_clear(store_);
    GtkWindow* owner = GTK_WINDOW(window_);
    std::vector<std::string> rows =
        BuildAddressList([owner](const char* text) { ShowProgramMessage(owner, text); });
    for (const std::string& row : rows) {
        GtkTreeIter iter;
        gtk_list_store_append(store_, &iter);
        gtk_list_store_set(store_, &iter, 0, row.c_str(), -1);
    }
}

void CIpListDialog::RemoveSelected() {
    GtkTreeModel* model = nullptr;
    GtkTreeIter iter;
    GtkTreeSelection* selection = gtk_tree_view_get_selection(GTK_TREE_VIEW(list_));
    if (!gtk_tree_selection_get_selected(selection, &model, &iter)) return;
    gchar* name = nullptr;
    gtk_tree_model_get(model, &iter, 0, &name, -1);
    std::string value = name ? name : "";
    g_free(name);
    GtkWindow* owner = GTK_WINDOW(window_);
    if (RemoveAddress(value, [owner](const char* text) { ShowProgramMessage(owner, text); })) {
        BuildList();
    }
}

void CIpListDialog::ShowAbout() {
    GtkWidget* dialog = gtk_dialog_new();
    gtk_window_set_title(GTK_WINDOW(dialog), "About tovladmin");
    gtk_window_set_transient_for(GTK_WINDOW(dialog), GTK_WINDOW(window_));
    gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
    gtk_window_set_resizable(GTK_WINDOW(dialog), FALSE);
    GtkWidget* fixed = gtk_fixed_new();
    gtk_widget_set_size_request(fixed, DluX(266), DluY(55));
    GdkPixbuf* iconPixbuf = NewIconPixbuf();
    GdkPixbuf* small = gdk_pixbuf_scale_simple(iconPixbuf, 32, 32, GDK_INTERP_BILINEAR);
    g_object_unref(iconPixbuf);
    gtk_fixed_put(GTK_FIXED(fixed), gtk_image_new_from_pixbuf(small), DluX(11), DluY(17));
    g_object_unref(small);
    GtkWidget* title = gtk_label_new("Portdesk Configuration Tool Version 3.4");
    gtk_label_set_xalign(GTK_LABEL(title), 0);
    PlaceAt(GTK_FIXED(fixed), title, 40, 10, 166, 8);
    GtkWidget* notice = gtk_label_new("Keeps the list of addresses tovlserver accepts.");
    gtk_label_set_xalign(GTK_LABEL(notice), 0);
    PlaceAt(GTK_FIXED(fixed), notice, 40, 25, 166, 8);
    GtkWidget* ok = gtk_button_new_with_label("OK");
    PlaceAt(GTK_FIXED(fixed), ok, 209, 7, 50, 16);
    g_signal_connect(ok, "clicked", G_CALLBACK(+[](GtkButton*, gpointer d) {
                         gtk_dialog_response(GTK_DIALOG(d), GTK_RESPONSE_OK);
                     }),
                     dialog);
    gtk_container_add(GTK_CONTAINER(gtk_dialog_get_content_area(GTK_DIALOG(dialog))), fixed);
    gtk_widget_set_can_default(ok, TRUE);
    gtk_widget_grab_default(ok);
    gtk_widget_show_all(dialog);
    gtk_dialog_run(GTK_DIALOG(dialog));
    gtk_widget_destroy(dialog);
}

}  // namespace tovl
