"""Soak test of the Linux build: 500 consecutive updates in one program
against a device simulator on COM3, each dismissed and followed by the next,
checking that every run succeeds and that the process's open files, threads
and memory stay flat.

Run (as root; ctest runs it as e2e-linux-soak):
    FU_PROGRAM=build/native/platform/linux/firmware-updater \
    FU_DEVICE_SIM=build/native/tools/fu-device-sim \
    python3 tests/e2e/linux/test_soak.py -v

FU_SOAK_RUNS changes the number of runs (at least 51). The figures after
the first 50 runs and after the last are printed; the first 50 let the
toolkit's lazily created state (fonts, the message box's resources) settle.
"""

import os
import re
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import session as base  # noqa: E402
from session import wait_until  # noqa: E402
from procfs import open_fds, status_number  # noqa: E402

RUNS = int(os.environ.get("FU_SOAK_RUNS", "500"))
WARM_UP = 50
FIRMWARE_SIZE = 64
RSS_GROWTH_LIMIT_KIB = 4 * 1024  # a leak check, not a measurement


def process_figures(pid):
    """(open file descriptors, threads, resident KiB) of pid."""
    return open_fds(pid), status_number(pid, "Threads"), status_number(pid, "VmRSS")


class Soak(base.Session):
    dir_prefix = "fu-soak-"

    def message_box(self):
        """The message box on screen, or None. A narrow search first (this
        runs for every poll of every run); xdotool's match is loose, so the
        titles are checked here."""
        out = self.desktop.xdotool("search", "--onlyvisible", "--pid", self.program.pid,
                                   "--name", "^(" + base.MESSAGE_TITLES + ")$", check=False)
        for window in out.split():
            if re.fullmatch(base.MESSAGE_TITLES, self.desktop.title(window)):
                return int(window)
        return None

    def one_run(self, number):
        d, sim, pid = self.desktop, self.com3, self.program.pid
        tasks = "/proc/%d/task" % pid
        before = set(os.listdir(tasks))
        mark = sim.mark()
        d.xdotool("mousemove", "--window", self.window, *base.UPDATE_BUTTON, "click", "1")
        # The report closes the port before it shows the box.
        sim.wait_for("CLOSED", after=mark)
        box = wait_until("the result of run %d" % number, self.message_box, timeout=60)
        workers = set(os.listdir(tasks)) - before
        title = d.title(box)
        if number == 1:  # the box is the only one, whatever its title
            self.assertEqual(d.message_boxes(pid), [title])
        events = sim.since(mark)
        if title != "Information" or "REPLY2 ok" not in events:
            d.screenshot(os.path.join(base.ARTIFACTS, "soak-run-%d-failed.png" % number))
            self.fail("run %d ended with %r; the device saw %s" % (number, title, events))
        d.xdotool("windowactivate", "--sync", box, "key", "Return")
        wait_until("the box of run %d to go" % number, lambda: self.message_box() is None)
        # The run's worker thread ends once its report has returned.
        wait_until("the worker of run %d to end" % number,
                   lambda: not workers & set(os.listdir(tasks)))

    def test_500_updates_keep_files_threads_and_memory_flat(self):
        self.assertGreater(RUNS, WARM_UP)
        self.start(com3_args=["--body-length", str(FIRMWARE_SIZE - 16)])
        path, _ = self.firmware(FIRMWARE_SIZE)
        self.set_path(path)
        self.choose_port("Up")
        began = time.monotonic()
        for number in range(1, RUNS + 1):
            self.one_run(number)
            if number == WARM_UP:
                warm = process_figures(self.program.pid)
        final = process_figures(self.program.pid)
        took = time.monotonic() - began
        print("\nsoak: %d runs in %.1f s (%.0f ms a run)" % (RUNS, took, 1000 * took / RUNS))
        for name, at_warm, at_end in zip(("fds", "threads", "VmRSS KiB"), warm, final):
            print("soak: %-9s after run %d: %d, after run %d: %d" % (name, WARM_UP, at_warm,
                                                                    RUNS, at_end))
        self.assertEqual(final[0], warm[0], "open file descriptors")
        self.assertEqual(final[1], warm[1], "threads")
        self.assertLess(final[2] - warm[2], RSS_GROWTH_LIMIT_KIB, "resident memory growth")
        self.assertEqual(self.close_window(), 0)


if __name__ == "__main__":
    sys.exit(base.main())
