#!/usr/bin/env python3
"""Benchmarks of the Linux program; prints figures, asserts nothing.

Run (as root, after building the native preset):
    python3 bench/linux/bench_linux.py \
        [--program build/native/platform/linux/firmware-updater] \
        [--simulator build/native/tools/fu-device-sim] [--idle-seconds 10] [--size 1048576]

On its own Xvfb desktop (with openbox), in the same mount namespace as the
end-to-end tests (COM3 and COM10 on device simulators), it measures:
  - start-up: time to the main window, and to the end of port discovery
    (the COM10 simulator, the last present port, has seen its probe close);
  - idle CPU of the program over --idle-seconds, from /proc/<pid>/stat;
  - peak memory (VmHWM) after start-up and after a transfer;
  - a --size byte firmware file sent to the simulator over a pty: wall and CPU
    time per body byte, against 173.6 us per byte on the wire at 57600 8N1.
"""

import argparse
import os
import shutil
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.abspath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(REPO, "tests", "e2e"))
sys.path.insert(0, os.path.join(REPO, "tests", "e2e", "linux"))
sys.path.insert(0, os.path.join(REPO, "tools", "device-simulator"))
sys.path.insert(0, os.path.join(REPO, "bench"))

from desktop import MESSAGE_TITLES, Desktop, wait_until  # noqa: E402
from fusim import Simulator  # noqa: E402
from procfs import cpu_seconds, status_number  # noqa: E402
from procstats import WIRE_US_PER_BYTE, write_json  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--program",
                        default=os.path.join(REPO, "build/native/platform/linux/firmware-updater"))
    parser.add_argument("--simulator",
                        default=os.path.join(REPO, "build/native/tools/fu-device-sim"))
    parser.add_argument("--idle-seconds", type=float, default=10.0)
    parser.add_argument("--size", type=int, default=1 << 20)
    parser.add_argument("--json", help="also write the figures to this file")
    args = parser.parse_args()
    args.simulator = os.path.abspath(args.simulator)

    work = tempfile.mkdtemp(prefix="fu-bench-")
    desktop = Desktop(os.path.join(work, "logs"))
    body = args.size - 16
    sims = []
    program = None
    figures = {}
    try:
        com3 = Simulator(args.simulator, os.path.join(work, "com3"),
                         args=["--body-length", str(max(body, 0))])
        com10 = Simulator(args.simulator, os.path.join(work, "com10"))
        sims = [com3, com10]

        started = time.monotonic()
        program = desktop.start_program(args.program, {"ttyS2": com3.link, "ttyS9": com10.link},
                                        cwd=work)
        pid = program.pid
        window = desktop.wait_window("Update firmware 2.0", pid=pid)
        window_at = time.monotonic()
        com10.wait_for("CLOSED")
        probed_at = com10.times[com10.wait_for("CLOSED", index=True)]
        figures["window_ms"] = (window_at - started) * 1e3
        figures["listed_ms"] = (probed_at - started) * 1e3
        print("start-up: window after %.1f ms, COM10 probed (discovery past the last port) "
              "after %.1f ms" % ((window_at - started) * 1e3, (probed_at - started) * 1e3))
        print("peak memory after start-up: VmHWM %d KiB (VmRSS %d KiB)"
              % (status_number(pid, "VmHWM"), status_number(pid, "VmRSS")))

        before = cpu_seconds(pid)
        t0 = time.monotonic()
        time.sleep(args.idle_seconds)
        used = cpu_seconds(pid) - before
        span = time.monotonic() - t0
        figures["idle_cpu_percent"] = 100 * used / span
        print("idle CPU: %.3f s of CPU in %.1f s = %.2f %% of one core"
              % (used, span, 100 * used / span))

        path = os.path.join(work, "fw.bin")
        with open(path, "wb") as f:
            f.write(os.urandom(args.size))
        desktop.activate(window)
        desktop.click(window, 230, 20)
        desktop.key("ctrl+a")
        desktop.type(path)
        popup_before = desktop.all_windows(pid)
        desktop.click(window, 45, 20)
        popup = wait_until("the drop-down", lambda: desktop.all_windows(pid) - popup_before)
        desktop.key("Up", "Up", "Up", "Return")
        for w in popup:
            desktop.wait_gone(w)

        mark = com3.mark()
        cpu_before = cpu_seconds(pid)
        desktop.click(window, 240, 110)
        box = desktop.wait_window(MESSAGE_TITLES, pid=pid, timeout=3600)
        cpu_used = cpu_seconds(pid) - cpu_before
        title = desktop.title(box)
        reply1 = com3.times[com3.wait_for("REPLY1", after=mark, index=True)]
        body_end = com3.times[com3.wait_for("REPLY2", after=mark, index=True)]
        wall = body_end - reply1
        print("transfer of %d bytes (body %d): result \"%s\"" % (args.size, body, title))
        if body > 0:
            wall_us, cpu_us = wall / body * 1e6, cpu_used / body * 1e6
            figures.update(result=title, body_bytes=body, wall_us_per_byte=wall_us,
                           cpu_us_per_byte=cpu_us)
            print("  body wall time %.2f s = %.2f us per byte; ratio to the wire "
                  "(%.1f us per byte at 57600 8N1): %.4f"
                  % (wall, wall_us, WIRE_US_PER_BYTE, wall_us / WIRE_US_PER_BYTE))
            print("  program CPU time for the whole run %.2f s = %.2f us per body byte; "
                  "ratio to the wire: %.4f" % (cpu_used, cpu_us, cpu_us / WIRE_US_PER_BYTE))
        figures["peak_kib"] = status_number(pid, "VmHWM")
        print("peak memory after the transfer: VmHWM %d KiB" % figures["peak_kib"])
        write_json(args.json, figures)
        desktop.activate(box)
        desktop.key("Return")
        desktop.wait_gone(box)
    finally:
        if program is not None and program.poll() is None:
            program.kill()
            program.wait()
        for sim in sims:
            sim.stop()
        desktop.close()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
