"""The Windows program under Wine: the "Open" button's file dialog, driven like a user
(a name typed into the dialog's name box, then Open), and the updates that follow it."""

import os
import unittest

from wineharness import TITLE, WineDesktop, main_or_skip, windows_path

DIALOG = "Please choose file to load"
PATH_FIELD = 1

desk = None


def setUpModule():
    global desk
    desk = WineDesktop("chooser")


def tearDownModule():
    if desk is not None:
        desk.close()


def path_field(info):
    return info["children"][PATH_FIELD]["text"]


class FileChooserTest(unittest.TestCase):
    def setUp(self):
        self.workdir = os.path.join(desk.root, self.id().rsplit(".", 1)[1])
        os.makedirs(self.workdir)
        # The start-up directory's default file, told apart from every chosen one.
        self.startup_data = self.write_firmware(self.workdir, "trx.fw", 16 + 100)
        self.sim = desk.simulator(3)
        self.app = desk.start_app(cwd=self.workdir)
        desk.inspect("select", TITLE, "COM3")

    def tearDown(self):
        desk.end_test()

    def write_firmware(self, folder, name, size):
        os.makedirs(folder, exist_ok=True)
        data = os.urandom(size)
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
        return data

    def open_dialog(self):
        desk.inspect("click", TITLE, "Open")
        return desk.inspect("filedialog", DIALOG)

    def go_to_folder(self, folder):
        """Types a folder into the name box and presses Open: the dialog shows that folder."""
        desk.inspect("filedialog", DIALOG, windows_path(folder))
        name = os.path.basename(folder)
        for _ in range(200):  # safety net; ends as soon as the dialog shows the folder
            if desk.inspect("filedialog", DIALOG)["look_in"] == name:
                return
        self.fail("the dialog never showed the folder %s" % name)

    def choose(self, typed, expected_field):
        """Types a name into the open dialog, presses Open, and waits for the path field."""
        desk.inspect("filedialog", DIALOG, typed)
        desk.inspect("wait-gone", DIALOG)
        desk.wait_dump(lambda d: path_field(d) == expected_field, repr(expected_field))

    def run_update(self):
        """Presses UPDATE! and dismisses the result message; returns (title, text)."""
        desk.inspect("click", TITLE, "UPDATE!")
        for _ in range(2000):  # safety net; ends as soon as a result message shows
            titles = [w["title"] for w in desk.inspect("list")
                      if w["class"] == "#32770" and w["visible"]]
            results = [t for t in titles if t == "Information" or t.startswith("ERROR:")]
            if results:
                break
        else:
            self.fail("no result message after UPDATE!")
        box = desk.inspect("msgbox", results[0])
        desk.inspect("wait-gone", results[0])
        return box["title"], box["text"]

    def update_sends(self):
        """Runs an update that must succeed; returns the bytes the device received."""
        mark = self.sim.mark()
        self.assertEqual(self.run_update(), ("Information", "Device update!"))
        self.sim.wait_for("CLOSED", after=mark)
        number = self.sim.sessions(after=mark)[0]
        with open(self.sim.session_path(number), "rb") as f:
            return f.read()

    def test_open_shows_the_firmware_dialog_with_an_empty_name_box(self):
        self.write_firmware(self.workdir, "notes.txt", 10)
        os.makedirs(os.path.join(self.workdir, "older"))
        dialog = self.open_dialog()
        self.assertEqual(dialog["title"], DIALOG)
        self.assertEqual(dialog["owner"], TITLE)
        self.assertEqual(dialog["name"], "")
        self.assertEqual(dialog["filters"], ["Firmware (*.fw)"])
        self.assertEqual(dialog["filter_selection"], 0)
        self.assertFalse(dialog["read_only_shown"])
        # Which folder comes first is the platform's choice; in a known one the
        # "*.fw;" pattern lists folders and firmware files only.
        self.go_to_folder(self.workdir)
        listed = desk.inspect("filedialog", DIALOG)["listed"]
        self.assertEqual(sorted(listed), ["older", "trx.fw"])
        desk.screenshot("file-dialog-open")
        desk.inspect("msgbox", DIALOG, "--cancel")
        desk.inspect("wait-gone", DIALOG)

    def test_chosen_file_fills_the_field_and_is_flashed_byte_exact(self):
        cases = [
            # label, folder (relative to the test's directory), browse into it first
            ("full path typed", "firmware", False),
            ("file in a non-ASCII folder, browsed to", "прошивка-éà", True),
        ]
        for label, folder, browse in cases:
            with self.subTest(label):
                folder = os.path.join(self.workdir, folder)
                data = self.write_firmware(folder, "device.fw", 16 + 3000)
                full = windows_path(os.path.join(folder, "device.fw"))
                self.open_dialog()
                if browse:
                    self.go_to_folder(folder)
                    self.choose("device.fw", full)
                else:
                    self.choose(full, full)
                self.assertEqual(self.update_sends(), data)

        # The dialog browsed elsewhere, yet the current directory is still the start-up
        # one: the relative default name finds its file there.
        desk.inspect("settext", TITLE, "trx.fw")
        self.assertEqual(self.update_sends(), self.startup_data)

    def test_typed_name_of_a_missing_file_comes_back_and_the_update_reports_it(self):
        missing = windows_path(os.path.join(self.workdir, "missing.fw"))
        self.open_dialog()
        self.choose(missing, missing)

        mark = self.sim.mark()
        self.assertEqual(self.run_update(), ("ERROR:1", "Firmware missing!"))
        events = [line.split(" ", 1)[0] for line in self.sim.since(mark)]
        # The file is checked before the port is even opened.
        self.assertFalse({"OPEN", "HEADER"} & set(events), events)


if __name__ == "__main__":
    main_or_skip(unittest.main)
