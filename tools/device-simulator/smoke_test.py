"""Smoke test of fu-device-sim: a host opening its link like the program does.

Run: python3 smoke_test.py PATH/TO/fu-device-sim   (ctest runs it as fu-device-sim-smoke)
"""

import os
import select
import sys
import tempfile
import termios
import tty
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from fusim import Simulator  # noqa: E402

SIM = None


def open_raw(path):
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
    # TCSANOW: the default TCSAFLUSH would drop what the device already sent
    # on seeing the open (its noise), as the program's own open does not.
    tty.setraw(fd, termios.TCSANOW)
    return fd


def read_exactly(fd, count, timeout=10.0):
    data = b""
    while len(data) < count:
        ready, _, _ = select.select([fd], [], [], timeout)
        if not ready:
            break
        data += os.read(fd, count - len(data))
    return data


class SimulatorSmoke(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.link = os.path.join(self.dir.name, "com3")

    def tearDown(self):
        self.dir.cleanup()

    def start(self, *args):
        sim = Simulator(SIM, self.link, record_dir=self.dir.name, args=args)
        self.addCleanup(sim.stop)
        return sim

    def test_whole_exchange_is_answered_and_recorded(self):
        sim = self.start()
        # A probe: open and close at once, as port discovery does.
        os.close(os.open(self.link, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK))
        sim.wait_for("CLOSED")
        mark = sim.mark()
        fd = open_raw(self.link)
        header, body = bytes(range(16)), os.urandom(5000)
        os.write(fd, header)
        self.assertEqual(read_exactly(fd, 2), b"OK")
        for i in range(0, len(body), 700):
            os.write(fd, body[i : i + 700])
        sim.wait_for("REPLY2", after=mark)
        self.assertEqual(read_exactly(fd, 2), b"OK")
        os.close(fd)
        sim.wait_for("CLOSED", after=mark)
        events = sim.since(mark)
        bodies = [e for e in events if e.startswith("BODY ")]
        self.assertEqual(bodies[-1], "BODY 5000")
        self.assertEqual(
            [e for e in events if e not in bodies],
            ["OPEN", "HEADER", "REPLY1 ok", "REPLY2 ok", "CLOSED"],
        )
        with open(sim.session_path(1), "rb") as f:
            self.assertEqual(f.read(), b"")
        with open(sim.session_path(2), "rb") as f:
            self.assertEqual(f.read(), header + body)

    def test_replies_as_asked(self):
        cases = [("lower", b"ok"), ("okcrlf", b"OK\r\n"), ("bad", b"NO")]
        for reply, expected in cases:
            with self.subTest(reply=reply):
                sim = self.start("--header-reply", reply)
                fd = open_raw(self.link)
                os.write(fd, bytes(16))
                self.assertEqual(read_exactly(fd, len(expected)), expected)
                os.close(fd)
                sim.wait_for("CLOSED")
                sim.stop()

    def test_hangup_mid_body_then_a_fresh_port(self):
        sim = self.start("--hangup-after", "10", "--noise-on-open", "5")
        fd = open_raw(self.link)
        self.assertEqual(len(read_exactly(fd, 5)), 5)  # the noise
        os.write(fd, bytes(16))
        self.assertEqual(read_exactly(fd, 2), b"OK")
        os.write(fd, bytes(30))
        sim.wait_for("HANGUP")
        new_slave = sim.wait_for("READY", after=sim.mark() - 1).split(" ", 1)[1]
        self.assertEqual(os.readlink(self.link), new_slave)
        with self.assertRaises(termios.error):
            termios.tcgetattr(fd)  # the old port is dead
        os.close(fd)
        with open(sim.session_path(1), "rb") as f:
            self.assertEqual(len(f.read()), 26)
        mark = sim.mark()
        fd = open_raw(self.link)
        self.assertEqual(len(read_exactly(fd, 5)), 5)
        os.write(fd, bytes(16))
        self.assertEqual(read_exactly(fd, 2), b"OK")
        os.close(fd)
        sim.wait_for("CLOSED", after=mark)


if __name__ == "__main__":
    SIM = os.path.abspath(sys.argv.pop(1))
    unittest.main()
