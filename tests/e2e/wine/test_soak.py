"""The Windows program under Wine runs 50 updates in a row in one process: every run ends
in "Information" with the file delivered whole, and the process's handles, open files,
threads and memory stay flat between run 10 and run 50. Prints the figures."""

import os
import time
import unittest

from wineharness import APP_EXE, TITLE, WineDesktop, main_or_skip
from procfs import open_fds, status_number

RUNS = 50
BASELINE_RUN = 10
BODY = 256
# Wine keeps a few handles, files and threads of its own that come and go.
HANDLE_SLACK = 8
FD_SLACK = 4
THREAD_SLACK = 2
RSS_GROWTH_LIMIT_KB = 16 * 1024

desk = None


def setUpModule():
    global desk
    desk = WineDesktop("soak")


def tearDownModule():
    if desk is not None:
        desk.close()


def linux_pid_of(root_pid, name):
    """The process under root_pid (itself included) running the named program."""
    def cmdline(pid):
        try:
            with open("/proc/%d/cmdline" % pid, "rb") as f:
                return f.read().decode(errors="replace")
        except OSError:
            return ""

    def parent(pid):
        try:
            with open("/proc/%d/stat" % pid) as f:
                return int(f.read().rsplit(")", 1)[1].split()[1])
        except (OSError, ValueError, IndexError):
            return -1

    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        pid = int(entry)
        if name not in cmdline(pid):
            continue
        ancestor = pid
        while ancestor > 1:
            if ancestor == root_pid:
                return pid
            ancestor = parent(ancestor)
    raise AssertionError("no process running %s under %d" % (name, root_pid))


class SoakTest(unittest.TestCase):
    def tearDown(self):
        desk.end_test()

    def figures(self):
        return {
            "handles": desk.inspect("handles", self.win_pid)["handles"],
            "fds": open_fds(self.pid),
            "threads": status_number(self.pid, "Threads"),
            "rss_kb": status_number(self.pid, "VmRSS"),
        }

    def steady_figures(self, timeout=30.0):
        """Figures once two readings a window dump apart agree: the last run's worker
        thread ends just after its message is gone. The timeout is a safety net."""
        deadline = time.monotonic() + timeout
        last = self.figures()
        while True:
            desk.dump()
            now = self.figures()
            if all(now[k] == last[k] for k in ("handles", "fds", "threads")) or \
                    time.monotonic() > deadline:
                return now
            last = now

    def test_fifty_updates_in_one_process_stay_flat(self):
        workdir = os.path.join(desk.root, "soak")
        os.makedirs(workdir)
        data = os.urandom(16 + BODY)
        with open(os.path.join(workdir, "trx.fw"), "wb") as f:
            f.write(data)
        sim = desk.simulator(3, args=["--body-length", str(BODY)])
        app = desk.start_app(cwd=workdir)
        desk.inspect("select", TITLE, "COM3")
        self.win_pid = desk.dump()["pid"]
        self.pid = linux_pid_of(app.pid, os.path.basename(APP_EXE))

        baseline = None
        for run in range(1, RUNS + 1):
            mark = sim.mark()
            desk.inspect("click", TITLE, "UPDATE!")
            box = desk.inspect("msgbox", "Information", "--keep")
            self.assertEqual(box["text"], "Device update!", "run %d" % run)
            if run == BASELINE_RUN:
                # The worker waits in its message box: the figures see its thread.
                during = self.figures()
            desk.inspect("msgbox", "Information")
            desk.inspect("wait-gone", "Information")
            sim.wait_for("CLOSED", after=mark)
            session = sim.sessions(after=mark)[0]
            with open(sim.session_path(session), "rb") as f:
                self.assertEqual(f.read(), data, "run %d" % run)
            if run == BASELINE_RUN:
                baseline = self.steady_figures()

        final = self.steady_figures()
        print("soak: while run %d shows its message %s" % (BASELINE_RUN, during))
        print("soak: after run %d %s" % (BASELINE_RUN, baseline))
        print("soak: after run %d %s" % (RUNS, final))
        print("soak: rss growth %d kB over %d runs" % (final["rss_kb"] - baseline["rss_kb"],
                                                      RUNS - BASELINE_RUN))
        self.assertGreater(during["threads"], baseline["threads"])
        self.assertLessEqual(final["handles"], baseline["handles"] + HANDLE_SLACK)
        self.assertLessEqual(final["fds"], baseline["fds"] + FD_SLACK)
        self.assertLessEqual(final["threads"], baseline["threads"] + THREAD_SLACK)
        self.assertLessEqual(final["rss_kb"] - baseline["rss_kb"], RSS_GROWTH_LIMIT_KB)
        self.assertIsNone(app.poll())


if __name__ == "__main__":
    main_or_skip(unittest.main)
