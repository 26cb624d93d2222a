// The main window "Portdesk Config Tool" in GTK: the allowed addresses,
// rebuilt from the registry after every change, buttons to add, remove and
// exit, the logo, and the about box on a menu item. Closing it ends the
// program's main loop.
#pragma once

#include <gtk/gtk.h>

namespace tovl {

class CIpListDialog {
  public:
    CIpListDialog();
    // Shows the window; the caller then runs gtk_main().
    void Show();

  private:
    void BuildList();
    void RemoveSelected();
    void ShowAbout();

    GtkWidget* window_;
    GtkListStore* store_;
    GtkWidget* list_;
};

}  // namespace tovl
