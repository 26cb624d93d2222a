#include "admin/posix/gtk_support_posix.h"

#include <string>

#include "admin/posix/pictures_posix.h"

namespace tovl {

void PlaceAt(GtkFixed* fixed, GtkWidget* widget, int x, int y, int w, int h) {
    // Theme padding would make buttons outgrow the Windows rectangles.
    static GtkCssProvider* compact = [] {
        GtkCssProvider* provider = gtk_css_provider_new();
        gtk_css_provider_load_from_data(provider, "button { padding: 0 2px; min-height: 0; }", -1,
                                        nullptr);
        return provider;
    }();
    gtk_style_context_add_provider(gtk_widget_get_style_context(widget),
                                   GTK_STYLE_PROVIDER(compact),
                                   GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    gtk_widget_set_size_request(widget, DluX(w), DluY(h));
    gtk_fixed_put(fixed, widget, DluX(x), DluY(y));
}

void ShowProgramMessage(GtkWindow* owner, const char* text) {
    GtkWidget* box = gtk_message_dialog_new(
        owner, static_cast<GtkDialogFlags>(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT),
        GTK_MESSAGE_OTHER, GTK_BUTTONS_OK, "%s", text);
    gtk_window_set_title(GTK_WINDOW(box), g_get_prgname());
    gtk_dialog_run(GTK_DIALOG(box));
    gtk_widget_destroy(box);
}

GdkPixbuf* NewLogoPixbuf() {
    return gdk_pixbuf_new_from_data(kLogoRgb, GDK_COLORSPACE_RGB, FALSE, 8, kLogoWidth, kLogoHeight,
                                    kLogoWidth * 3, nullptr, nullptr);
}

GdkPixbuf* NewIconPixbuf() {
    return gdk_pixbuf_new_from_data(kIconRgba48, GDK_COLORSPACE_RGB, TRUE, 8, kIconSize, kIconSize,
                                    kIconSize * 4, nullptr, nullptr);
}

char* MnemonicLabel(const char* windowsText) {
    std::string label;
    for (const char* p = windowsText; *p; ++p) {
        if (*p == '_') {
            label += "__";
        } else if (*p == '&') {
            if (p[1] == '&') {
                label += '&';
                ++p;
            } else {
                label += '_';
            }
        } else {
            label += *p;
        }
    }
    return g_strdup(label.c_str());
}

}  // namespace tovl
