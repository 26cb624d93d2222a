// The GTK four-field address entry behaves like the Windows IP address
// control: digits only, at most three a field, a number above 255 becomes
// 255, blank fields count as 0. Needs a display (run under Xvfb by the
// dialog tests).
#include "admin/posix/address_entry_posix.h"

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <cstring>
#include <string>

namespace {

class AddressEntry : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { ASSERT_TRUE(gtk_init_check(nullptr, nullptr)) << "no display"; }

    void SetUp() override {
        entry_ = new tovl::CAddressEntry();
        // Keep the widgets alive for the test.
        window_ = gtk_offscreen_window_new();
        gtk_container_add(GTK_CONTAINER(window_), entry_->Widget());
    }
    void TearDown() override {
        gtk_widget_destroy(window_);
        delete entry_;
    }

    // As typing: through the editable's insert, at the end of the field.
    void Type(int field, const char* text) {
        GtkEditable* editable = GTK_EDITABLE(entry_->Field(field));
        gint position = static_cast<gint>(strlen(gtk_entry_get_text(GTK_ENTRY(editable))));
        gtk_editable_insert_text(editable, text, static_cast<gint>(strlen(text)), &position);
    }
    std::string Text(int field) { return gtk_entry_get_text(GTK_ENTRY(entry_->Field(field))); }

    tovl::CAddressEntry* entry_ = nullptr;
    GtkWidget* window_ = nullptr;
};

TEST_F(AddressEntry, BlankFieldsCountAsZero) {
    EXPECT_EQ(entry_->GetAddress(), 0u);
    Type(0, "192");
    Type(1, "168");
    EXPECT_EQ(entry_->GetAddress(), 0xC0A80000u);
}

TEST_F(AddressEntry, OnlyDigitsAndAtMostThreeAField) {
    Type(0, "1a2");
    EXPECT_EQ(Text(0), "12");
    Type(1, "-7 ");
    EXPECT_EQ(Text(1), "7");
    Type(2, "1234");
    EXPECT_EQ(Text(2), "123");
    Type(3, "x");
    EXPECT_EQ(Text(3), "");
    EXPECT_EQ(entry_->GetAddress(), 0x0C077B00u);
}

TEST_F(AddressEntry, NumbersAbove255Become255) {
    Type(0, "300");
    EXPECT_EQ(Text(0), "255");
    Type(3, "25");
    Type(3, "6");
    EXPECT_EQ(Text(3), "255");
    EXPECT_EQ(entry_->GetAddress(), 0xFF0000FFu);
}

TEST_F(AddressEntry, SetAddressShowsFieldsWithoutLeadingZeros) {
    entry_->SetAddress(0x0A0114FF);
    EXPECT_EQ(Text(0), "10");
    EXPECT_EQ(Text(1), "1");
    EXPECT_EQ(Text(2), "20");
    EXPECT_EQ(Text(3), "255");
    EXPECT_EQ(entry_->GetAddress(), 0x0A0114FFu);
    entry_->SetAddress(0);
    EXPECT_EQ(Text(0), "0");
    EXPECT_EQ(entry_->GetAddress(), 0u);
}

}  // namespace
