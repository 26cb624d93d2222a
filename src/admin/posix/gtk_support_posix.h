// Shared pieces of tovladmin's GTK dialogs. They lay their controls out on
// the Windows dialogs' rectangles, given in dialog units, so both look alike
// (a dialog unit is a quarter of 6 pixels across and an eighth of 13 down).
#pragma once

#include <gtk/gtk.h>

namespace tovl {

inline int DluX(int x) {
    return x * 6 / 4;
}
inline int DluY(int y) {
    return y * 13 / 8;
}

// Places widget on fixed at the rectangle (x, y, w, h) in dialog units.
void PlaceAt(GtkFixed* fixed, GtkWidget* widget, int x, int y, int w, int h);

// A modal message owned by owner with the program's name as title, an OK
// button and no icon; returns when it was closed.
void ShowProgramMessage(GtkWindow* owner, const char* text);

GdkPixbuf* NewLogoPixbuf();
GdkPixbuf* NewIconPixbuf();

// "&About" with the platform's mnemonic mark: "_About".
char* MnemonicLabel(const char* windowsText);

}  // namespace tovl
