"""End-to-end test of keyboard-only use of the Linux build: the real program
on its own Xvfb desktop, driven with keys alone (no pointer), against a
device simulator on COM3.

Run (as root; ctest runs it as e2e-linux-keyboard):
    FU_PROGRAM=build/native/platform/linux/firmware-updater \
    FU_DEVICE_SIM=build/native/tools/fu-device-sim \
    python3 tests/e2e/linux/test_keyboard.py -v

X cannot show which control has the focus, so every step is seen through
what the focused control does: the port list opens its pop-up, Open shows
the file dialog, UPDATE! starts a run the simulator sees, and the file and
port the run used prove what was typed and picked.
"""

import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import session as base  # noqa: E402
from session import wait_until  # noqa: E402

DIALOG_TITLE = "Please choose file to load"


class Keyboard(base.Session):
    dir_prefix = "fu-keys-"

    def new_windows(self, before, what):
        d = self.desktop
        return wait_until(what, lambda: d.all_windows(self.program.pid) - before)

    def test_tab_space_and_alt_f4_work_without_a_pointer(self):
        window = self.start()
        d, pid = self.desktop, self.program.pid
        path, data = self.firmware(500)
        d.activate(window)

        # Tab three times from no focus: the port list, the path field, then
        # Open, whose Space shows the dialog; Escape cancels it.
        d.key("Tab", "Tab", "Tab", "space")
        dialog = d.wait_window(DIALOG_TITLE, pid=pid)
        d.screenshot(os.path.join(base.ARTIFACTS, "keyboard-open-dialog.png"))
        d.key("Escape")
        d.wait_gone(dialog)
        d.activate(window)

        # Forwards from Open: UPDATE!, then round to the port list (the
        # progress bar never takes the focus), whose Space opens its pop-up;
        # the first entry is COM3.
        before = d.all_windows(pid)
        d.key("Tab", "Tab", "space")
        popup = self.new_windows(before, "the port list's pop-up")
        d.key("Up", "Up", "Up", "Return")
        for w in popup:
            d.wait_gone(w)

        # Backwards round to UPDATE!, then Open, then the path field (the
        # cancel emptied it): type the path there.
        d.key("shift+Tab", "shift+Tab", "shift+Tab", "ctrl+a")
        d.type(path)

        # Forwards past Open to UPDATE!; Space runs it.
        mark = self.com3.mark()
        d.key("Tab", "Tab", "space")
        box = d.wait_window(base.MESSAGE_TITLES, pid=pid, timeout=60)
        self.assertEqual(d.message_boxes(pid), ["Information"])
        self.com3.wait_for("CLOSED", after=mark)
        (session,) = self.com3.sessions(mark)
        with open(self.com3.session_path(session), "rb") as f:
            self.assertEqual(f.read(), data)
        self.assertEqual(self.com10.since(mark), [])

        # Space presses the message box's focused OK button too.
        d.activate(box)
        d.key("space")
        d.wait_gone(box)

        d.activate(window)
        d.key("alt+F4")
        self.assertEqual(self.program.wait(timeout=30), 0)


if __name__ == "__main__":
    sys.exit(base.main())
