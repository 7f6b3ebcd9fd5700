"""What every Linux end-to-end suite shares: the desktop for the suite, a
fresh folder per test, the program started with simulators on COM3 and
COM10, the user's actions on the main window, and the entry point that skips
when the machine cannot run the suites."""

import os
import shutil
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.abspath(os.path.join(HERE, "..", "..", ".."))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(REPO, "tools", "device-simulator"))

from desktop import MESSAGE_TITLES, Desktop, wait_until  # noqa: E402,F401
from fusim import Simulator  # noqa: E402

PROGRAM = os.environ.get("FU_PROGRAM", "")
SIMULATOR = os.environ.get("FU_DEVICE_SIM", "")
ARTIFACTS = os.path.join(REPO, "artifacts", "linux")
TITLE = "Update firmware 2.0"

# Client coordinates of the controls' centres.
PORT_LIST = (45, 20)
PATH_FIELD = (230, 20)
UPDATE_BUTTON = (240, 110)

TOOLS = ("Xvfb", "openbox", "xdotool", "xwininfo", "xprop", "unshare", "import")


class Session(unittest.TestCase):
    """A suite's desktop and a test's program; subclasses hold the tests."""

    dir_prefix = "fu-e2e-"

    @classmethod
    def setUpClass(cls):
        cls.desktop = Desktop(os.path.join(ARTIFACTS, "logs"))

    @classmethod
    def tearDownClass(cls):
        cls.desktop.close()

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix=self.dir_prefix)
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

    def write(self, path, size):
        data = os.urandom(size)
        with open(path, "wb") as f:
            f.write(data)
        return data

    def firmware(self, size, name="fw.bin"):
        path = os.path.join(self.dir, name)
        return path, self.write(path, size)

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

    def update_sends(self, data):
        """Runs an update on COM3; it must succeed and send exactly data."""
        mark = self.com3.mark()
        self.press_update()
        self.expect_message("Information")
        self.com3.wait_for("CLOSED", after=mark)
        (session,) = self.com3.sessions(mark)
        with open(self.com3.session_path(session), "rb") as f:
            self.assertEqual(f.read(), data)

    def close_window(self):
        self.desktop.activate(self.window)
        self.desktop.key("alt+F4")
        return self.program.wait(timeout=30)


def main(extra_tools=()):
    """Runs the calling module's tests, or reports them skipped (for ctest)
    when the machine lacks what they need."""
    reasons = []
    if os.geteuid() != 0:
        reasons.append("needs root for the mount namespace")
    for tool in TOOLS + tuple(extra_tools):
        if shutil.which(tool) is None:
            reasons.append("needs %s" % tool)
    for name, path in (("FU_PROGRAM", PROGRAM), ("FU_DEVICE_SIM", SIMULATOR)):
        if not path or not os.access(path, os.X_OK):
            reasons.append("%s does not name a program" % name)
    if reasons:
        print("SKIPPED: " + "; ".join(reasons))
        return 0
    return 0 if unittest.main(exit=False).result.wasSuccessful() else 1
