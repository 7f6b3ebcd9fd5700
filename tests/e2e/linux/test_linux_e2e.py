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
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from session import ARTIFACTS, Session, main, wait_until  # noqa: E402


class LinuxEndToEnd(Session):
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

        self.update_sends(data)
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


if __name__ == "__main__":
    sys.exit(main())
