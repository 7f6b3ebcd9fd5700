"""End-to-end tests of the Linux build: the real program in a real window on
its own Xvfb desktop, driven from outside with xdotool like a user, with two
device simulators standing in for COM3 and COM10.

Run (as root; ctest runs it as e2e-linux):
    FU_PROGRAM=build/native/platform/linux/firmware-updater \
    FU_DEVICE_SIM=build/native/tools/fu-device-sim \
    python3 tests/e2e/linux/test_linux_e2e.py -v

The program runs in a private mount namespace whose /dev holds only ttyS2
(COM3) and ttyS9 (COM10), each a symlink to a simulator's pty. What X cannot
show (widget texts) is checked through what the simulators saw and recorded.
Screenshots go to artifacts/linux/.
"""

import os
import shutil
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.abspath(os.path.join(HERE, "..", "..", ".."))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(REPO, "tools", "device-simulator"))

from desktop import MESSAGE_TITLES, Desktop, wait_until  # noqa: E402
from fusim import Simulator  # noqa: E402

PROGRAM = os.environ.get("FU_PROGRAM", "")
SIMULATOR = os.environ.get("FU_DEVICE_SIM", "")
ARTIFACTS = os.path.join(REPO, "artifacts", "linux")
TITLE = "Update firmware 2.0"

# Client coordinates of the controls' centres.
PORT_LIST = (45, 20)
PATH_FIELD = (230, 20)
UPDATE_BUTTON = (240, 110)


class LinuxEndToEnd(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.desktop = Desktop(os.path.join(ARTIFACTS, "logs"))

    @classmethod
    def tearDownClass(cls):
        cls.desktop.close()

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="fu-e2e-")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)
        self.program = None

    def tearDown(self):
        if self.program is not None and self.program.poll() is None:
            self.program.kill()
            self.program.wait()

    # --- set-up --------------------------------------------------------

    def simulator(self, name, args=()):
        record = os.path.join(self.dir, name + "-record")
        os.mkdir(record)
        sim = Simulator(SIMULATOR, os.path.join(self.dir, name), record_dir=record, args=args)
        self.addCleanup(sim.stop)
        return sim

    def start(self, com3_args=(), com10_args=()):
        """Starts the program with COM3 and COM10 present; returns its window
        once port discovery has probed both."""
        self.com3 = self.simulator("com3", com3_args)
        self.com10 = self.simulator("com10", com10_args)
        self.program = self.desktop.start_program(
            PROGRAM, {"ttyS2": self.com3.link, "ttyS9": self.com10.link}, cwd=self.dir,
            log_name="program-%s.log" % self._testMethodName)
        window = self.desktop.wait_window(TITLE, pid=self.program.pid)
        self.com3.wait_for("CLOSED")
        self.com10.wait_for("CLOSED")
        self.window = window
        return window

    def firmware(self, size, name="fw.bin"):
        path = os.path.join(self.dir, name)
        data = os.urandom(size)
        with open(path, "wb") as f:
            f.write(data)
        return path, data

    # --- acting like a user --------------------------------------------

    def choose_port(self, key, presses=3):
        """Opens the drop-down with a click and picks an entry by keyboard:
        Up three times is the first entry, Down three times the last (the
        pop-up opens under the pointer, which may already highlight a row)."""
        d = self.desktop
        d.activate(self.window)
        before = d.all_windows(self.program.pid)
        d.click(self.window, *PORT_LIST)
        popup = wait_until("the drop-down to open",
                           lambda: d.all_windows(self.program.pid) - before)
        d.key(*([key] * presses), "Return")
        for window in popup:
            d.wait_gone(window)

    def set_path(self, path):
        d = self.desktop
        d.activate(self.window)
        d.click(self.window, *PATH_FIELD)
        d.key("ctrl+a")
        d.type(path)

    def press_update(self):
        self.desktop.activate(self.window)
        self.desktop.click(self.window, *UPDATE_BUTTON)

    def expect_message(self, title, timeout=60.0):
        """Waits for the result message, checks it is the only one and has
        the title given, takes a screenshot, and dismisses it."""
        d = self.desktop
        box = d.wait_window(MESSAGE_TITLES, pid=self.program.pid, timeout=timeout)
        self.assertEqual(d.message_boxes(self.program.pid), [title])
        d.screenshot(os.path.join(ARTIFACTS, "%s-%s.png" % (self._testMethodName,
                                                           title.replace(":", ""))))
        d.activate(box)
        d.key("Return")
        d.wait_gone(box)

    def close_window(self):
        self.desktop.activate(self.window)
        self.desktop.key("alt+F4")
        return self.program.wait(timeout=30)

    # --- tests ---------------------------------------------------------

    def test_starts_with_its_window_lists_the_ports_and_closes_with_exit_code_0(self):
        window = self.start()
        d = self.desktop
        self.assertEqual(d.title(window), "Update firmware 2.0")
        _, _, width, height = d.geometry(window)
        self.assertEqual((width, height), (480, 140))
        hints = d.run(["xprop", "-id", str(window), "WM_NORMAL_HINTS"])
        self.assertIn("program specified minimum size: 480 by 140", hints)
        self.assertIn("program specified maximum size: 480 by 140", hints)
        # Discovery opened each present port once and sent it nothing.
        for sim in (self.com3, self.com10):
            self.assertEqual(sim.since(1), ["OPEN", "CLOSED"])
            self.assertEqual(os.path.getsize(sim.session_path(1)), 0)
        shot = os.path.join(ARTIFACTS, "idle-main-window.png")
        d.screenshot(shot)
        if os.path.exists(shot):
            x, y, w, h = d.geometry(window)
            # The README's picture is copied from here by hand; a test run
            # leaves the source tree alone.
            d.run(["convert", shot, "-crop", "%dx%d+%d+%d" % (w + 40, h + 60, x - 20, y - 40),
                   "+repage", os.path.join(ARTIFACTS, "screenshot-linux.png")])
        self.assertEqual(self.close_window(), 0)

    def test_update_sends_the_file_byte_exact_to_the_chosen_port(self):
        # COM10's device chatters when opened: the program must drop that.
        self.start(com10_args=["--body-length", "65520", "--noise-on-open", "37"])
        path, data = self.firmware(64 * 1024)
        self.set_path(path)

        # The first entry is COM3.
        mark3, mark10 = self.com3.mark(), self.com10.mark()
        self.choose_port("Up")
        self.press_update()
        self.expect_message("Information")
        self.assertEqual(self.com10.since(mark10), [])
        self.assertEqual(self.com3.wait_for("CLOSED", after=mark3), "CLOSED")
        (session,) = self.com3.sessions(mark3)
        with open(self.com3.session_path(session), "rb") as f:
            self.assertEqual(f.read(), data)

        # Three steps down from COM3 is COM10: the list has no third entry.
        mark3, mark10 = self.com3.mark(), self.com10.mark()
        self.choose_port("Down")
        self.press_update()
        self.expect_message("Information")
        self.com10.wait_for("CLOSED", after=mark10)
        self.assertEqual(self.com3.since(mark3), [])
        (session,) = self.com10.sessions(mark10)
        self.assertIn("NOISE 37", self.com10.since(mark10))
        with open(self.com10.session_path(session), "rb") as f:
            self.assertEqual(f.read(), data)
        self.assertEqual(self.close_window(), 0)

    def test_failures_are_reported_with_their_codes(self):
        self.start(com3_args=["--header-reply", "lower"])
        path, _ = self.firmware(100)
        marks = lambda: (self.com3.mark(), self.com10.mark())

        # Nothing selected: no port is even tried.
        mark3, mark10 = marks()
        self.set_path(path)
        self.press_update()
        self.expect_message("ERROR:2")
        self.assertEqual((self.com3.since(mark3), self.com10.since(mark10)), ([], []))

        # A file that is not there: the port is not opened either.
        self.choose_port("Up")
        self.set_path(os.path.join(self.dir, "missing.fw"))
        self.press_update()
        self.expect_message("ERROR:1")
        self.assertEqual((self.com3.since(mark3), self.com10.since(mark10)), ([], []))

        # The device answers the header in lower case.
        self.set_path(path)
        self.press_update()
        self.expect_message("ERROR:4")
        self.com3.wait_for("CLOSED", after=mark3)
        self.assertEqual(self.com3.since(mark3), ["OPEN", "HEADER", "REPLY1 lower", "CLOSED"])
        self.assertEqual(self.com10.since(mark10), [])
        self.assertEqual(self.close_window(), 0)

    def test_unplug_mid_body_reports_no_response_and_the_next_run_works(self):
        self.start(com3_args=["--hangup-after", "1000", "--body-length", "20000"])
        path, data = self.firmware(20016)
        self.set_path(path)
        self.choose_port("Up")
        mark = self.com3.mark()
        self.press_update()
        self.com3.wait_for("HANGUP", after=mark)
        self.com3.wait_for("READY", after=mark)
        self.expect_message("ERROR:3")  # after the 5000-poll reply window

        mark = self.com3.mark()
        self.press_update()
        self.expect_message("Information")
        self.com3.wait_for("CLOSED", after=mark)
        (session,) = self.com3.sessions(mark)
        with open(self.com3.session_path(session), "rb") as f:
            self.assertEqual(f.read(), data)
        self.assertEqual(self.close_window(), 0)

    def test_closing_the_window_during_an_update_ends_at_once_without_a_message(self):
        self.start(com3_args=["--header-reply", "none"])
        path, _ = self.firmware(1000)
        self.set_path(path)
        self.choose_port("Up")
        mark = self.com3.mark()
        self.press_update()
        self.com3.wait_for("REPLY1", after=mark)  # the program now waits for a reply

        self.desktop.activate(self.window)
        self.desktop.key("alt+F4")
        d, program = self.desktop, self.program

        def ended_or_message():
            self.assertEqual(d.message_boxes(program.pid), [])
            return program.poll() is not None

        # A program that waited for its run would show "ERROR:3" first.
        wait_until("the program to end", ended_or_message, timeout=30)
        self.assertEqual(program.returncode, 0)
        self.assertEqual(self.com3.wait_for("CLOSED", after=mark), "CLOSED")


def main():
    reasons = []
    if os.geteuid() != 0:
        reasons.append("needs root for the mount namespace")
    for tool in ("Xvfb", "openbox", "xdotool", "xwininfo", "xprop", "unshare", "import"):
        if shutil.which(tool) is None:
            reasons.append("needs %s" % tool)
    for name, path in (("FU_PROGRAM", PROGRAM), ("FU_DEVICE_SIM", SIMULATOR)):
        if not path or not os.access(path, os.X_OK):
            reasons.append("%s does not name a program" % name)
    if reasons:
        print("SKIPPED: " + "; ".join(reasons))
        return 0
    return 0 if unittest.main(exit=False).result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
