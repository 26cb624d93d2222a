"""tovladmin's dialogs on a virtual display: the Win32 dialogs under Wine,
the GTK dialogs on Linux. Clicks go to the controls' places, computed from
the dialogs' rectangles in dialog units; the registry tells what happened.
Screenshots of each step are kept under the build's test-artefacts folder.
"""
import os
import subprocess
import tempfile
import time
import unittest

from harness import (ARTEFACT_DIR, IPADDR_KEY, ON_WINE, PLATFORM, ProgramTestCase, XDisplay,
                     program_command, registry_value_names)

MAIN_TITLE = "^Portdesk Config Tool$"
ADD_TITLE = "^Add Ip$"
MESSAGE_TITLE = "^tovladmin$"

# Dialog sizes in dialog units.
MAIN_SIZE = (268, 138)
ADD_SIZE = (186, 58)

# Control centres in dialog units.
ADD_IP_BUTTON = (162 + 45, 7 + 7)
REMOVE_IP_BUTTON = (162 + 45, 25 + 7)
EXIT_BUTTON = (162 + 45, 42 + 7)
ADD_BUTTON = (29 + 25, 37 + 7)
CANCEL_BUTTON = (108 + 25, 37 + 7)


class AdminDialogTest(ProgramTestCase):
    @classmethod
    def setUpClass(cls):
        # Pictures of an earlier run would be mistaken for this one's.
        folder = os.path.join(ARTEFACT_DIR, "tovladmin")
        if os.path.isdir(folder):
            for name in os.listdir(folder):
                if name.startswith(PLATFORM + "-") and name.endswith(".png"):
                    os.unlink(os.path.join(folder, name))
        cls.display = XDisplay()
        if ON_WINE:
            # The first Wine process, `wine reg` too, starts the desktop
            # process; one started without a display leaves every later
            # window without a driver, so all of them get the display.
            cls.saved_display = os.environ.get("DISPLAY")
            os.environ["DISPLAY"] = cls.display.name

    @classmethod
    def tearDownClass(cls):
        cls.display.stop()
        if ON_WINE:
            if cls.saved_display is None:
                os.environ.pop("DISPLAY", None)
            else:
                os.environ["DISPLAY"] = cls.saved_display

    def setUp(self):
        super().setUp()
        self.shots = 0

    # -- places -----------------------------------------------------------

    def dialog_point(self, window, size, point):
        """Screen position of a point given in dialog units.

        Wine without a window manager gives the X window the client area
        only; the GTK windows carry their controls in a fixed area at the
        bottom (the main window has a menu bar above it) laid out at 6 x 13
        base units."""
        x, y, w, h = self.display.geometry(window)
        if ON_WINE:
            return x + point[0] * w / size[0], y + point[1] * h / size[1]
        fw, fh = size[0] * 6 // 4, size[1] * 13 // 8
        left = x + (w - fw) / 2
        top = y + h - fh if size == MAIN_SIZE else y + (h - fh) / 2
        return left + point[0] * 6 / 4, top + point[1] * 13 / 8

    def row_point(self, window, row):
        """Screen position of a list row (0 the top one)."""
        x, y = self.dialog_point(window, MAIN_SIZE, (7 + 30, 7))
        if ON_WINE:
            return x, y + 24 + 15 * row
        return x, y + 35 + 22 * row

    def click_in(self, window, size, point):
        self.display.click(*self.dialog_point(window, size, point))

    def shot(self, what):
        self.shots += 1
        name = "%s-%s-%02d-%s.png" % (PLATFORM, self._testMethodName, self.shots, what)
        self.display.screenshot(os.path.join(ARTEFACT_DIR, "tovladmin", name))

    def acknowledge_message(self, what):
        """Waits for a message box, keeps a picture of it and clicks OK."""
        box = self.display.wait_window(MESSAGE_TITLE)
        self.assertIsNotNone(box, "no message box: " + what)
        self.shot(what)
        x, y, w, h = self.display.geometry(box)
        # The one OK button sits at the bottom; on Wine centred, on GTK at the right.
        if ON_WINE:
            self.display.click(x + w / 2, y + h - 20)
        else:
            self.display.click(x + w - 40, y + h - 22)
        # The next message may follow at once under the same title.
        deadline = time.monotonic() + 10
        while box in self.display.windows(MESSAGE_TITLE) and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertNotIn(box, self.display.windows(MESSAGE_TITLE),
                         "message box did not close: " + what)

    def start_admin(self):
        # The program's error output goes into failure reports.
        self.errors = tempfile.TemporaryFile()
        self.addCleanup(self.errors.close)
        program = self.start("tovladmin", env=self.display.env(self.registry.env),
                             stderr=self.errors)
        self.program = program
        return program

    def program_state(self):
        self.errors.seek(0)
        return "windows: %s; program %s; its errors: %r" % (
            self.display.window_names(), "running" if self.program.alive() else "ended",
            self.errors.read().decode("latin-1")[-2000:])

    def wait_main(self):
        window = self.display.wait_window(MAIN_TITLE)
        if window is None:
            self.shot("main-dialog-missing")
        self.assertIsNotNone(window, "the main dialog did not appear; " + self.program_state())
        return window

    def names(self):
        return registry_value_names(self.registry, IPADDR_KEY)

    def wait_names(self, expected, timeout=10.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline and self.names() != expected:
            time.sleep(0.2)
        self.assertEqual(self.names(), expected)

    def exit_program(self, program, main):
        self.click_in(main, MAIN_SIZE, EXIT_BUTTON)
        deadline = time.monotonic() + 15
        while program.alive() and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertFalse(program.alive(), "Exit did not end the program")

    # -- cases ------------------------------------------------------------

    def test_list_shows_last_enumerated_on_top_and_remove_deletes_the_selected_row(self):
        for name in ("10.0.0.1", "10.0.0.2", "192.168.1.5"):
            self.registry.allow(name)
        program = self.start_admin()
        main = self.wait_main()
        self.assertEqual(self.display.windows(MESSAGE_TITLE), [], "unexpected message")
        self.shot("list")
        # Nothing selected yet: remove does nothing.
        self.click_in(main, MAIN_SIZE, REMOVE_IP_BUTTON)
        time.sleep(0.5)
        self.assertEqual(self.display.windows(MESSAGE_TITLE), [])
        self.assertEqual(self.names(), ["10.0.0.1", "10.0.0.2", "192.168.1.5"])
        # The top row is the last name enumerated.
        self.display.click(*self.row_point(main, 0))
        self.shot("top-row-selected")
        self.click_in(main, MAIN_SIZE, REMOVE_IP_BUTTON)
        self.wait_names(["10.0.0.1", "10.0.0.2"])
        # Rebuilt list: 10.0.0.2 on top, 10.0.0.1 below it.
        self.display.click(*self.row_point(main, 1))
        self.click_in(main, MAIN_SIZE, REMOVE_IP_BUTTON)
        self.wait_names(["10.0.0.2"])
        self.shot("after-removals")
        if not ON_WINE:
            self.check_gtk_about_box(main)
        self.exit_program(program, main)

    def check_gtk_about_box(self, main):
        """The about item sits in the menu "tovladmin" above the controls."""
        x, y, w, h = self.display.geometry(main)
        bar = h - 138 * 13 // 8
        self.display.click(x + 30, y + bar / 2)
        self.shot("menu-open")
        self.display.click(x + 50, y + bar + 14)
        about = self.display.wait_window("^About tovladmin$", timeout=10)
        self.assertIsNotNone(about, "the about box did not appear")
        self.shot("about-box")
        self.click_in(about, (266, 55), (209 + 25, 7 + 8))
        self.assertTrue(self.display.wait_window("^About tovladmin$", gone=True, timeout=10),
                        "OK did not close the about box")

    def test_add_without_typing_adds_0_0_0_0_and_the_list_is_rebuilt(self):
        self.registry.allow("10.0.0.1")
        program = self.start_admin()
        main = self.wait_main()
        self.click_in(main, MAIN_SIZE, ADD_IP_BUTTON)
        add = self.display.wait_window(ADD_TITLE)
        self.assertIsNotNone(add, "the add dialog did not appear")
        self.shot("add-dialog")
        self.click_in(add, ADD_SIZE, ADD_BUTTON)
        self.assertTrue(self.display.wait_window(ADD_TITLE, gone=True, timeout=10),
                        "a successful add did not end the add dialog")
        self.wait_names(["0.0.0.0", "10.0.0.1"])
        self.assertEqual(self.display.windows(MESSAGE_TITLE), [])
        self.shot("after-add")
        # The rebuilt list shows the new name below 10.0.0.1: remove it.
        self.display.click(*self.row_point(main, 1))
        self.click_in(main, MAIN_SIZE, REMOVE_IP_BUTTON)
        self.wait_names(["10.0.0.1"])
        self.exit_program(program, main)

    def test_missing_key_shows_the_messages_and_add_stays_open_until_cancel(self):
        program = self.start_admin()
        # The open message comes before the dialog.
        box = self.display.wait_window(MESSAGE_TITLE)
        if box is None:
            self.shot("open-message-missing")
        self.assertIsNotNone(box, "no open message; " + self.program_state())
        self.assertEqual(self.display.windows(MAIN_TITLE), [], "dialog shown before the message")
        self.acknowledge_message("open-message-at-start")
        main = self.wait_main()
        time.sleep(0.5)
        self.assertEqual(self.display.windows(MESSAGE_TITLE), [], "more than one message")
        self.shot("empty-list")

        self.click_in(main, MAIN_SIZE, ADD_IP_BUTTON)
        add = self.display.wait_window(ADD_TITLE)
        self.assertIsNotNone(add, "the add dialog did not appear")
        self.click_in(add, ADD_SIZE, ADD_BUTTON)
        self.acknowledge_message("open-message-on-add")
        self.acknowledge_message("write-message-on-add")
        time.sleep(0.5)
        self.assertEqual(self.display.windows(MESSAGE_TITLE), [], "a third message on add")
        self.assertTrue(self.display.windows(ADD_TITLE), "the add dialog closed after a failed write")
        self.shot("add-dialog-still-open")
        self.click_in(add, ADD_SIZE, CANCEL_BUTTON)
        self.assertTrue(self.display.wait_window(ADD_TITLE, gone=True, timeout=10),
                        "Cancel did not close the add dialog")
        # The list is rebuilt after Cancel too, which meets the missing key again.
        self.acknowledge_message("open-message-on-rebuild")
        self.assertIsNone(self.names(), "the key was created")
        self.exit_program(program, main)

    @unittest.skipUnless(ON_WINE, "the Windows resources and dialog code")
    def test_windows_resources_and_dialog_behaviour(self):
        # A GoogleTest program linked with the dialogs and the resource script.
        proc = subprocess.run(program_command("tovladmin_win32_tests"),
                              env=self.display.env(self.registry.env), timeout=120,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              stdin=subprocess.DEVNULL)
        output = proc.stdout.decode("latin-1")
        self.assertEqual(proc.returncode, 0, output)
        self.assertIn("[  PASSED  ] 8 tests", output)

    @unittest.skipIf(ON_WINE, "the GTK address entry")
    def test_gtk_address_entry_behaves_like_the_ip_address_control(self):
        proc = subprocess.run(program_command("tovladmin_gtk_tests"),
                              env=self.display.env(self.registry.env), timeout=60,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              stdin=subprocess.DEVNULL)
        output = proc.stdout.decode("latin-1")
        self.assertEqual(proc.returncode, 0, output)
        self.assertIn("[  PASSED  ] 4 tests", output)


if __name__ == "__main__":
    unittest.main()
