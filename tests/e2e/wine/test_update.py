"""The Windows program under Wine runs updates against the device simulator on a pty:
the bytes that arrive, the controls and the bar during and after a run, every result
message, an unplug mid-body, and closing the window mid-update."""

import os
import termios
import unittest

from wineharness import TITLE, WineDesktop, main_or_skip

INPUTS = [0, 1, 2, 4]  # PortList, FirmwarePathField, OpenButton, UpdateButton
BAR = 3

desk = None


def setUpModule():
    global desk
    desk = WineDesktop("update")


def tearDownModule():
    if desk is not None:
        desk.close()


def enabled(info):
    return [info["children"][i]["enabled"] for i in INPUTS]


def bar(info):
    return info["children"][BAR]["position"]


class UpdateTest(unittest.TestCase):
    def setUp(self):
        self.workdir = os.path.join(desk.root, self.id().rsplit(".", 1)[1])
        os.makedirs(self.workdir)

    def tearDown(self):
        desk.end_test()

    def write_firmware(self, size, name="trx.fw"):
        path = os.path.join(self.workdir, name)
        data = os.urandom(size)
        with open(path, "wb") as f:
            f.write(data)
        return data

    def start(self, sim_args=(), select="COM3"):
        self.sim = desk.simulator(3, args=sim_args)
        desk.simulator(10, record=False)
        self.app = desk.start_app(cwd=self.workdir)
        if select:
            desk.inspect("select", TITLE, select)

    def session_bytes(self, sim, mark):
        number = sim.sessions(after=mark)[0]
        with open(sim.session_path(number), "rb") as f:
            return f.read()

    def test_firmware_arrives_byte_exact_with_controls_locked_during_the_run(self):
        # The default path "trx.fw" names the file in the start-up directory.
        data = self.write_firmware(16 + 64 * 1024)
        self.start(["--reply-delay-ms", "1000"])
        mark = self.sim.mark()
        desk.inspect("click", TITLE, "UPDATE!")

        self.sim.wait_for("HEADER", after=mark)
        during = desk.dump()
        self.assertEqual(enabled(during), [False] * 4)
        self.assertTrue(during["children"][BAR]["enabled"])
        desk.screenshot("update-running")

        box = desk.inspect("msgbox", "Information", "--keep")
        self.assertEqual(box["text"], "Device update!")
        self.assertEqual(box["buttons"], ["OK"])
        self.assertFalse(box["icon"])
        self.assertEqual(box["owner"], TITLE)
        shown = desk.wait_dump(lambda d: bar(d) == 100, "the bar at 100 under the message")
        self.assertEqual(enabled(shown), [True] * 4)
        desk.screenshot("update-done")

        desk.inspect("msgbox", "Information")
        desk.inspect("wait-gone", "Information")
        desk.wait_dump(lambda d: bar(d) == 0, "the bar back at 0")
        self.sim.wait_for("CLOSED", after=mark)
        self.assertEqual(self.session_bytes(self.sim, mark), data)

        # The line as the update left it: 57600 baud, 8N1, no CTS flow control.
        fd = os.open(self.sim.slave, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        try:
            iflag, oflag, cflag, lflag, ispeed, ospeed, cc = termios.tcgetattr(fd)
        finally:
            os.close(fd)
        self.assertEqual((ispeed, ospeed), (termios.B57600, termios.B57600))
        self.assertEqual(cflag & termios.CSIZE, termios.CS8)
        self.assertEqual(cflag & (termios.PARENB | termios.CSTOPB | termios.CRTSCTS), 0)

    def test_each_failure_shows_its_message_and_gives_the_controls_back(self):
        cases = [
            # title, text, simulator options, port to select, path field
            ("ERROR:1", "Firmware missing!", [], "COM3", "Z:\\no\\such\\dir\\trx.fw"),
            ("ERROR:2", "Can't open the serial port: ", [], None, None),
            ("ERROR:4", "No correct answer device!", ["--header-reply", "lower"], "COM3", None),
            ("ERROR:5", "Update wrong!", ["--body-reply", "lower"], "COM3", None),
        ]
        for title, text, sim_args, port, path in cases:
            with self.subTest(title):
                self.write_firmware(16 + 300)
                self.start(sim_args, select=port)
                if path is not None:
                    desk.inspect("settext", TITLE, path)
                desk.inspect("click", TITLE, "UPDATE!")
                box = desk.inspect("msgbox", title, "--keep")
                self.assertEqual(box["text"], text)
                self.assertEqual(enabled(desk.dump()), [True] * 4)
                desk.inspect("msgbox", title)
                desk.inspect("wait-gone", title)
                desk.end_test()

    def test_unplug_mid_body_gives_error_3_and_the_next_run_works(self):
        data = self.write_firmware(16 + 20000)
        self.start(["--hangup-after", "5000"])
        mark = self.sim.mark()
        desk.inspect("click", TITLE, "UPDATE!")
        self.sim.wait_for("HANGUP", after=mark)
        self.sim.wait_for("READY", after=mark)
        # After the unplug the reply wait runs its full 5000 polls.
        box = desk.inspect("msgbox", "ERROR:3", timeout=120)
        self.assertEqual(box["text"], "Device does not respond!")
        desk.inspect("wait-gone", "ERROR:3")

        mark = self.sim.mark()
        desk.inspect("click", TITLE, "UPDATE!")
        box = desk.inspect("msgbox", "Information")
        self.assertEqual(box["text"], "Device update!")
        self.sim.wait_for("CLOSED", after=mark)
        self.assertEqual(self.session_bytes(self.sim, mark), data)

    def test_closing_the_window_mid_update_ends_at_once_without_a_message(self):
        self.write_firmware(16 + 1000)
        self.start(["--reply-delay-ms", "20000"])
        mark = self.sim.mark()
        desk.inspect("click", TITLE, "UPDATE!")
        self.sim.wait_for("HEADER", after=mark)
        desk.inspect("close", TITLE)
        self.assertEqual(self.app.wait(timeout=15), 0)
        self.assertEqual(
            [w for w in desk.inspect("list") if w["class"] == "#32770" and w["visible"]], [])
        self.sim.wait_for("CLOSED", after=mark)


if __name__ == "__main__":
    main_or_skip(unittest.main)
