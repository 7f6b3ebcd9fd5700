"""End-to-end tests of the "Open" button on the Linux build: the real program
on its own Xvfb desktop, its file dialog driven with xdotool like a user, and
a device simulator on COM3 to see which file an update then sends.

Run (as root; ctest runs it as e2e-linux-file-chooser):
    FU_PROGRAM=build/native/platform/linux/firmware-updater \
    FU_DEVICE_SIM=build/native/tools/fu-device-sim \
    python3 tests/e2e/linux/test_file_chooser.py -v

Every program starts in a folder that holds its own "trx.fw", so an update
that reads the default path succeeds: a run that ends in "ERROR:1" proves the
dialog replaced the path. Screenshots go to artifacts/linux/.
"""

import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import session as base  # noqa: E402
from session import wait_until  # noqa: E402

DIALOG_TITLE = "Please choose file to load"
OPEN_BUTTON = (425, 20)
NON_ASCII_FOLDER = "прошивка-éà"
NON_ASCII_FILE = "версия-2.fw"


class FileChooser(base.Session):
    dir_prefix = "fu-chooser-"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        # Before any program starts, so its keymap has them from the start.
        cls.desktop.bind_keys(NON_ASCII_FOLDER + NON_ASCII_FILE)

    def setUp(self):
        super().setUp()
        self.default_data = self.write(os.path.join(self.dir, "trx.fw"), 300)

    # --- the dialog ----------------------------------------------------

    def dialogs(self):
        return self.desktop.windows(DIALOG_TITLE, pid=self.program.pid)

    def wait_active(self, window):
        wait_until("window %d to be active" % window,
                   lambda: self.desktop.xdotool("getactivewindow", check=False).strip()
                   == str(window))

    def open_dialog(self, screenshot=None):
        d = self.desktop
        d.activate(self.window)
        d.click(self.window, *OPEN_BUTTON)
        dialog = d.wait_window(DIALOG_TITLE, pid=self.program.pid)
        self.assertEqual(self.dialogs(), [dialog])
        # The name box has the keyboard focus once the dialog is active.
        self.wait_active(dialog)
        if screenshot:
            d.screenshot(os.path.join(base.ARTIFACTS, screenshot))
        return dialog

    def type_name(self, path):
        """Types a path into the dialog's name box and presses Return."""
        d = self.desktop
        d.key("ctrl+a")
        d.type(path)
        d.key("Return")

    def accept(self, path):
        """Chooses path in a new dialog; the dialog must close without a word."""
        dialog = self.open_dialog()
        self.type_name(path)
        # A complaint box would bear the dialog's title.
        wait_until("the dialog to close or complain",
                   lambda: not self.desktop.is_viewable(dialog) or len(self.dialogs()) > 1)
        self.assertEqual(self.dialogs(), [])
        self.assertEqual(self.desktop.message_boxes(self.program.pid), [])

    def update_finds_no_file(self):
        """Runs an update on COM3; it must end in "ERROR:1" without the port
        being opened, so the device sees no header."""
        mark = self.com3.mark()
        self.press_update()
        self.expect_message("ERROR:1")
        self.assertEqual(self.com3.since(mark), [])

    # --- tests ---------------------------------------------------------

    def test_open_shows_the_dialog_owned_by_the_window_and_cancel_empties_the_path(self):
        window = self.start()
        self.choose_port("Up")
        # The default path names the start folder's trx.fw.
        self.update_sends(self.default_data)

        dialog = self.open_dialog(screenshot="file-chooser-dialog.png")
        hints = self.desktop.run(["xprop", "-id", str(dialog), "WM_TRANSIENT_FOR"])
        self.assertIn("window id # %s" % hex(window), hints)
        self.desktop.key("Escape")
        self.desktop.wait_gone(dialog)
        self.assertEqual(self.desktop.message_boxes(self.program.pid), [])
        self.update_finds_no_file()

        def cancel_button(dialog):
            # Cancel sits in the bottom right-hand corner.
            _, _, width, height = self.desktop.geometry(dialog)
            self.desktop.click(dialog, width - 52, height - 24)

        def close_box(dialog):
            self.desktop.run(["wmctrl", "-i", "-c", hex(dialog)])

        chosen = os.path.join(self.dir, "chosen.fw")
        self.write(chosen, 40)
        for label, dismiss in (("Cancel button", cancel_button), ("close box", close_box)):
            with self.subTest(label):
                self.accept(chosen)  # the field holds a file that exists
                dialog = self.open_dialog()
                dismiss(dialog)
                self.desktop.wait_gone(dialog)
                self.update_finds_no_file()
        self.assertEqual(self.close_window(), 0)

    def test_a_chosen_file_is_flashed_byte_exact(self):
        self.start()
        self.choose_port("Up")
        cases = [
            ("plain folder", "firmware", "new.fw", 5000),
            ("non-ASCII folder", NON_ASCII_FOLDER, "fw.fw", 1234),
            ("non-ASCII file", NON_ASCII_FOLDER, NON_ASCII_FILE, 17),
            ("any extension", "firmware", "image.bin", 16),
        ]
        for label, folder, name, size in cases:
            with self.subTest(label):
                os.makedirs(os.path.join(self.dir, folder), exist_ok=True)
                path = os.path.join(self.dir, folder, name)
                data = self.write(path, size)
                self.accept(path)
                self.update_sends(data)

        # A folder's name opens it in the dialog, and a bare name there is a
        # file in it; yet the start folder stays the current one, so "trx.fw"
        # typed into the field names the start folder's file.
        data = self.write(os.path.join(self.dir, "firmware", "trx.fw"), 50)
        dialog = self.open_dialog()
        self.type_name(os.path.join(self.dir, "firmware"))
        self.type_name("trx.fw")
        self.desktop.wait_gone(dialog)
        self.update_sends(data)
        self.set_path("trx.fw")
        self.update_sends(self.default_data)
        self.desktop.screenshot(os.path.join(base.ARTIFACTS, "file-chooser-after-runs.png"))
        self.assertEqual(self.close_window(), 0)

    def test_a_path_longer_than_the_name_buffer_cannot_be_chosen(self):
        self.start()
        self.choose_port("Up")
        folder = os.path.join(self.dir, "f" * 100, "g" * 100)
        os.makedirs(folder)

        def path_of_length(length):
            path = os.path.join(folder, "x" * (length - len(folder) - len("/.fw")) + ".fw")
            self.assertEqual(len(path), length)
            return path

        # 260 characters with the terminator is the most that fits.
        longest = path_of_length(259)
        data = self.write(longest, 100)
        self.accept(longest)
        self.update_sends(data)

        too_long = path_of_length(260)
        self.write(too_long, 100)
        self.accept(too_long)
        self.update_finds_no_file()
        self.assertEqual(self.close_window(), 0)

    def test_a_typed_name_of_a_missing_file_is_accepted_but_a_missing_folder_is_not(self):
        self.start()
        self.choose_port("Up")
        # An existing folder: the dialog returns the name as typed, which a
        # file made there afterwards then answers to.
        missing = os.path.join(self.dir, "not-there.fw")
        self.accept(missing)
        self.update_finds_no_file()
        self.update_sends(self.write(missing, 77))

        # A folder that does not exist: the dialog complains and stays open.
        d = self.desktop
        chosen = os.path.join(self.dir, "chosen.fw")
        data = self.write(chosen, 64)
        dialog = self.open_dialog()
        self.type_name(os.path.join(self.dir, "no-such-folder", "x.fw"))
        # The complaint box bears the dialog's title.
        (complaint,) = wait_until("the complaint box",
                                  lambda: [w for w in self.dialogs() if w != dialog])
        self.wait_active(complaint)
        d.screenshot(os.path.join(base.ARTIFACTS, "file-chooser-missing-folder.png"))
        d.key("Return")
        d.wait_gone(complaint)
        self.assertEqual(self.dialogs(), [dialog])
        self.assertEqual(d.message_boxes(self.program.pid), [])
        self.wait_active(dialog)
        self.type_name(chosen)
        d.wait_gone(dialog)
        self.update_sends(data)
        self.assertEqual(self.close_window(), 0)


if __name__ == "__main__":
    sys.exit(base.main(extra_tools=["wmctrl"]))
