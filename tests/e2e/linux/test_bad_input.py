"""End-to-end tests of the Linux build with bad input and faulty devices: the
real program on its own Xvfb desktop, driven like a user, against device
simulators on COM3 and COM10 that misbehave in the ways a real line does.

Run (as root; ctest runs it as e2e-linux-bad-input):
    FU_PROGRAM=build/native/platform/linux/firmware-updater \
    FU_DEVICE_SIM=build/native/tools/fu-device-sim \
    python3 tests/e2e/linux/test_bad_input.py -v

One table holds every case: what the user gives, the message the user must
get and what the device must (not) receive. Cases that share a pair of
simulated devices run in one program, in table order, so a case that leaves
something half-done shows up in the next one. Screenshots go to
artifacts/linux/.
"""

import fcntl
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import session as base  # noqa: E402

# The simulated devices on COM3 and COM10 of one program start.
DEVICES = {
    "plain": ([], []),
    "noisy": (["--flood-during-body"], ["--noise-on-open", "1000"]),
    "unplug-early": (["--hangup-in", "header"], ["--hangup-in", "reply1"]),
    "unplug-late": (["--hangup-in", "reply2"], ["--hangup-after", "100"]),
}

FIRMWARE_SIZE = 300

# What the device receives: NOTHING (no port is even opened), NO_HEADER (the
# port is not opened by the program), ALL (the whole file, byte-exact), HEADER_ON
# (the header and then any part of the body: the flood may start before the
# first reply wait has seen "OK" alone), or a number k: the line was unplugged
# after the first k bytes.
NOTHING, NO_HEADER, ALL, HEADER_ON = "nothing", "no header", "all", "header on"

# devices, case, what the path field holds, port picked, title, device gets
CASES = [
    ("plain", "no port selected", "file", None, "ERROR:2", NOTHING),
    ("plain", "an empty path", "empty path", "COM3", "ERROR:1", NOTHING),
    ("plain", "a directory", "directory", "COM3", "ERROR:1", NOTHING),
    ("plain", "a name that does not exist", "missing", "COM3", "ERROR:1", NOTHING),
    ("plain", "a file another program holds", "locked file", "COM3", "ERROR:1", NOTHING),
    ("plain", "a 0-byte file", "0-byte file", "COM3", "Information", ALL),
    ("plain", "a path over 260 characters", "deep file", "COM3", "Information", ALL),
    ("plain", "a port another program holds", "port held", "COM3", "ERROR:2", NO_HEADER),
    ("plain", "a free port again", "file", "COM3", "Information", ALL),
    ("noisy", "noise before the header", "file", "COM10", "Information", ALL),
    ("noisy", "a flood during the body", "file", "COM3", "ERROR:3", HEADER_ON),
    ("noisy", "a quiet device after the flood", "file", "COM10", "Information", ALL),
    ("unplug-early", "unplugged during the header", "file", "COM3", "ERROR:3", 8),
    ("unplug-early", "the next run", "file", "COM3", "Information", ALL),
    ("unplug-early", "unplugged in the first reply wait", "file", "COM10", "ERROR:3", 16),
    ("unplug-early", "the next run", "file", "COM10", "Information", ALL),
    ("unplug-late", "unplugged in the second reply wait", "file", "COM3", "ERROR:3",
     FIRMWARE_SIZE),
    ("unplug-late", "the next run", "file", "COM3", "Information", ALL),
    ("unplug-late", "unplugged during the body", "file", "COM10", "ERROR:3", 16 + 100),
    ("unplug-late", "the next run", "file", "COM10", "Information", ALL),
]


class BadInput(base.Session):
    dir_prefix = "fu-bad-"

    # --- what the user gives ---------------------------------------------

    def prepare(self, given):
        """Returns (the text for the path field, the bytes the device gets
        for a whole run, a file descriptor held for the run or None)."""
        if given == "empty path":
            return "", None, None
        if given == "directory":
            return self.dir, None, None
        if given == "missing":
            return os.path.join(self.dir, "not-there.fw"), None, None
        if given == "0-byte file":
            path = os.path.join(self.dir, "empty.fw")
            self.write(path, 0)
            return path, bytes(16), None  # the header is 16 bytes whatever the size
        if given == "deep file":
            folder = os.path.join(self.dir, *["d%02d-" % i + "x" * 46 for i in range(6)])
            os.makedirs(folder)
            path = os.path.join(folder, "firmware.fw")
            self.assertGreater(len(path), 260)
            return path, self.write(path, FIRMWARE_SIZE), None
        path = os.path.join(self.dir, "fw.bin")
        data = self.write(path, FIRMWARE_SIZE)
        held = None
        if given == "locked file":
            held = os.open(path, os.O_RDONLY)
            fcntl.flock(held, fcntl.LOCK_EX | fcntl.LOCK_NB)
        elif given == "port held":
            held = os.open(self.com3.slave, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
            fcntl.flock(held, fcntl.LOCK_EX | fcntl.LOCK_NB)
        return path, data, held

    def set_path(self, path):
        d = self.desktop
        d.activate(self.window)
        d.click(self.window, *base.PATH_FIELD)
        d.key("ctrl+a", "BackSpace")
        d.type(path)

    # --- the table ---------------------------------------------------------

    def run_cases(self, devices):
        com3_args, com10_args = DEVICES[devices]
        self.start(com3_args=com3_args, com10_args=com10_args)
        sims = {"COM3": self.com3, "COM10": self.com10}
        picked = None
        for number, (group, case, given, port, title, gets) in enumerate(CASES):
            if group != devices:
                continue
            try:
                if port != picked:
                    self.choose_port("Up" if port == "COM3" else "Down")
                    picked = port
                self.run_case(sims, given, port, title, gets)
            except Exception as e:
                self.desktop.screenshot(os.path.join(
                    base.ARTIFACTS, "bad-input-%02d-failed.png" % number))
                raise AssertionError("case %r: %s" % (case, e)) from e
        self.assertEqual(self.close_window(), 0)

    def run_case(self, sims, given, port, title, gets):
        # Marks first: holding the port opens it, and that OPEN must not slip
        # in before the mark.
        marks = {name: sim.mark() for name, sim in sims.items()}
        path, sent, held = self.prepare(given)
        if held is not None and given == "port held":
            sims["COM3"].wait_for("OPEN", after=marks["COM3"])  # our own open
        try:
            self.set_path(path)
            self.press_update()
            self.expect_message(title)
        finally:
            if held is not None:
                os.close(held)

        for name, sim in sims.items():
            if name != port or gets == NOTHING:
                self.assertEqual(sim.since(marks[name]), [], name + " was opened")
        if gets == NOTHING:
            return
        sim, mark = sims[port], marks[port]
        if gets == NO_HEADER:
            sim.wait_for("CLOSED", after=mark)  # our own close
            self.assertNotIn("HEADER", sim.since(mark))
            for session in sim.sessions(mark):
                self.assertEqual(os.path.getsize(sim.session_path(session)), 0)
            return
        if gets in (ALL, HEADER_ON):
            sim.wait_for("CLOSED", after=mark)
            expected = sent
        else:
            sim.wait_for("HANGUP", after=mark)
            sim.wait_for("READY", after=mark)  # plugged in again for the next run
            expected = sent[:gets]
        (session,) = sim.sessions(mark)
        with open(sim.session_path(session), "rb") as f:
            got = f.read()
        if gets == HEADER_ON:
            self.assertGreaterEqual(len(got), 16)
            expected = sent[:len(got)]
        self.assertEqual(got, expected, "%d of %d bytes; the device saw %s"
                         % (len(got), len(expected), sim.since(mark)))

    def test_bad_files_paths_and_ports(self):
        self.run_cases("plain")

    def test_noise_and_flood_on_the_line(self):
        self.run_cases("noisy")

    def test_unplugged_during_the_header_and_the_first_reply_wait(self):
        self.run_cases("unplug-early")

    def test_unplugged_during_the_body_and_the_second_reply_wait(self):
        self.run_cases("unplug-late")


if __name__ == "__main__":
    sys.exit(base.main())
