"""The Windows program under Wine given bad input and a misbehaving device: for each case
the message the user gets and the bytes the device does (or does not) receive, and after
every fault the program still works."""

import os
import time
import unittest

from wineharness import TITLE, WineDesktop, main_or_skip, windows_path

INPUTS = [0, 1, 2, 4]  # PortList, FirmwarePathField, OpenButton, UpdateButton
INFO = ("Information", "Device update!")
MISSING = ("ERROR:1", "Firmware missing!")
NO_RESPONSE = ("ERROR:3", "Device does not respond!")

desk = None


def setUpModule():
    global desk
    desk = WineDesktop("bad-input")


def tearDownModule():
    if desk is not None:
        desk.close()


class BadInputTest(unittest.TestCase):
    def setUp(self):
        self.workdir = os.path.join(desk.root, self.id().rsplit(".", 1)[1])
        os.makedirs(self.workdir)
        self.sim = None

    def tearDown(self):
        desk.end_test()

    def write(self, path, data):
        with open(path, "wb") as f:
            f.write(data)
        return data

    def device(self, args=()):
        """(Re)places the device on COM3: the program opens ports by name, so a new
        simulator behind the same name serves its next run."""
        if self.sim is not None:
            self.sim.stop()
            desk.sims.remove(self.sim)
        self.sim = desk.simulator(3, args=args)
        return self.sim

    def run_update(self, expected, path=None, shot=None):
        """Sets the path field (when given), presses UPDATE!, checks the message and the
        controls given back, dismisses it; returns the simulator mark from before."""
        if path is not None:
            self.assertEqual(desk.inspect("settext", TITLE, path)["text"], path)
        mark = self.sim.mark() if self.sim is not None else 0
        desk.inspect("click", TITLE, "UPDATE!")
        # A reply wait of 5000 polls lasts longer on a loaded machine: a wide net.
        box = desk.inspect("--timeout", "300000", "msgbox", expected[0], "--keep", timeout=330)
        self.assertEqual((box["title"], box["text"]), expected)
        info = desk.dump()
        self.assertEqual([info["children"][i]["enabled"] for i in INPUTS], [True] * 4)
        if shot:
            desk.screenshot("bad-input-" + shot)
        desk.inspect("msgbox", expected[0])
        desk.inspect("wait-gone", expected[0])
        return mark

    def wait_for_box(self, titles, timeout=60.0):
        """The title of the first of these message boxes to appear (the timeout is a
        safety net)."""
        deadline = time.monotonic() + timeout
        while True:
            for window in desk.inspect("list"):
                if window["class"] == "#32770" and window["visible"] and \
                        window["title"] in titles:
                    return window["title"]
            if time.monotonic() > deadline:
                raise AssertionError("none of %s appeared" % (titles,))

    def received(self, mark):
        """The bytes of the one session opened after mark, once it is over."""
        self.sim.wait_for("CLOSED", after=mark)
        sessions = self.sim.sessions(after=mark)
        self.assertEqual(len(sessions), 1, self.sim.since(mark))
        with open(self.sim.session_path(sessions[0]), "rb") as f:
            return f.read()

    def assert_not_opened(self, mark):
        # The run has ended (its message was shown), so an open would be seen by now.
        self.assertNotIn("OPEN", self.sim.since(mark))

    def test_bad_files_and_a_vanished_port(self):
        self.device()
        app = desk.start_app(cwd=self.workdir)
        desk.inspect("select", TITLE, "COM3")
        good = self.write(os.path.join(self.workdir, "good.fw"), os.urandom(16 + 300))
        held = os.path.join(self.workdir, "held.fw")
        self.write(held, good)
        self.write(os.path.join(self.workdir, "empty.fw"), b"")
        long_dir = self.workdir
        while len(windows_path(long_dir)) <= 270:
            long_dir = os.path.join(long_dir, "d" * 60)
        os.makedirs(long_dir)
        long_path = windows_path(os.path.join(long_dir, "trx.fw"))
        self.assertGreater(len(long_path), 260)
        self.write(os.path.join(long_dir, "trx.fw"), good)

        with self.subTest("empty path"):
            self.assert_not_opened(self.run_update(MISSING, "", shot="empty-path"))
        with self.subTest("a name that does not exist, in a folder that does"):
            self.assert_not_opened(self.run_update(MISSING, "absent.fw"))
        with self.subTest("a directory"):
            self.assert_not_opened(self.run_update(MISSING, windows_path(self.workdir)))
        # Device names open like files; none of them is a firmware file.
        for device in ("NUL", "COM3"):
            with self.subTest("the device name " + device):
                mark = self.run_update(MISSING, device)
                self.assertNotIn("HEADER", self.sim.since(mark))
        with self.subTest("a file another program holds open"):
            with desk.hold_file(windows_path(held)):
                self.assert_not_opened(self.run_update(MISSING, windows_path(held)))
            # Once let go the same file goes through whole.
            self.assertEqual(self.received(self.run_update(INFO)), good)
        with self.subTest("a 0-byte file"):
            # The header is still 16 bytes, all zero; there is no body.
            self.assertEqual(self.received(self.run_update(INFO, "empty.fw")), bytes(16))
        with self.subTest("a path longer than 260 characters"):
            self.assertEqual(desk.inspect("settext", TITLE, long_path)["text"], long_path)
            mark = self.sim.mark()
            desk.inspect("click", TITLE, "UPDATE!")
            title = self.wait_for_box(("Information", "ERROR:1"))
            box = desk.inspect("msgbox", title, "--keep")
            self.assertIn((box["title"], box["text"]), (INFO, MISSING))
            print("a %d-character path: %s" % (len(long_path), box["title"]))
            desk.inspect("msgbox", box["title"])
            desk.inspect("wait-gone", box["title"])
            if box["title"] == "Information":
                self.assertEqual(self.received(mark), good)
            else:
                self.assert_not_opened(mark)
            self.assertIsNone(app.poll())
        # Wine lets a second program open a serial port that one holds without sharing,
        # so a port that is gone since start-up stands in for one that cannot be opened.
        with self.subTest("a listed port that is gone"):
            self.sim.stop()
            desk.sims.remove(self.sim)
            self.assertFalse(os.path.lexists(os.path.join(desk.dosdevices, "com3")))
            self.sim = None
            self.run_update(("ERROR:2", "Can't open the serial port: COM3"), "good.fw",
                            shot="port-gone")
            self.device()
            self.assertEqual(self.received(self.run_update(INFO)), good)

    def test_a_misbehaving_device_ends_in_its_message_and_the_next_run_works(self):
        data = self.write(os.path.join(self.workdir, "trx.fw"), os.urandom(16 + 20000))
        self.device()
        desk.start_app(cwd=self.workdir)
        desk.inspect("select", TITLE, "COM3")

        with self.subTest("noise before the header"):
            self.device(["--noise-on-open", "100"])
            mark = self.run_update(INFO)
            self.sim.wait_for("NOISE", after=mark)
            self.assertEqual(self.received(mark), data)

        # The flood starts with the first reply, so either reply wait may be the one that
        # never sees exactly 2 bytes and runs its 5000 polls; what arrived is the file's
        # own bytes in order, however far the body got.
        with self.subTest("a flood during the body"):
            self.device(["--flood-during-body"])
            mark = self.run_update(NO_RESPONSE, shot="flood")
            got = self.received(mark)
            self.assertGreaterEqual(len(got), 16, self.sim.since(mark))
            self.assertEqual(got, data[:len(got)], self.sim.since(mark))
            print("flood: %d of %d bytes arrived; device events %s"
                  % (len(got), len(data), self.sim.since(mark)))

        for where, sent in (("header", data[:8]), ("reply1", data[:16]), ("reply2", data)):
            with self.subTest("hung up in " + where):
                self.device(["--hangup-in", where])
                mark = self.run_update(NO_RESPONSE)
                self.sim.wait_for("HANGUP", after=mark)
                self.sim.wait_for("READY", after=mark)
                sessions = self.sim.sessions(after=mark)
                with open(self.sim.session_path(sessions[0]), "rb") as f:
                    self.assertEqual(f.read(), sent)
                # The simulator's next session is a healthy device again.
                self.assertEqual(self.received(self.run_update(INFO)), data)


if __name__ == "__main__":
    main_or_skip(unittest.main)
