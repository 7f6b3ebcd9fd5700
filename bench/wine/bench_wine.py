#!/usr/bin/python3
"""Figures of the Windows program under Wine (prints, never asserts).

Run after building both presets (the native one for fu-device-sim):
    cmake --preset windows && cmake --build --preset windows
    cmake --preset native && cmake --build --preset native --target fu-device-sim
    FU_APP_EXE=build/windows/platform/win32/firmware-updater.exe \
    FU_INSPECTOR_EXE=build/windows/tools/win32-inspector/inspector.exe \
    FU_DEVICE_SIM=build/native/tools/fu-device-sim \
    /usr/bin/python3 bench/wine/bench_wine.py [--body-bytes N]

Measures: CPU of the idle program over 10 s, time from start to a window listing its
ports, peak memory (VmHWM), and the wall time and CPU per body byte of an update sent to
the simulator, against 173.6 us per byte on a 57600 baud 8N1 line.
"""

import argparse
import os
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "e2e"))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "e2e", "wine"))
sys.path.insert(0, os.path.join(HERE, ".."))

from procfs import cpu_seconds, status_number  # noqa: E402
from procstats import WIRE_US_PER_BYTE, write_json  # noqa: E402
from wineharness import TITLE, WineDesktop, missing_inputs  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--body-bytes", type=int, default=1024 * 1024)
    parser.add_argument("--idle-seconds", type=float, default=10.0)
    parser.add_argument("--json", help="also write the figures to this file")
    options = parser.parse_args()
    reason = missing_inputs()
    if reason:
        print("bench_wine: needs %s" % reason)
        return 1

    desk = WineDesktop("bench")
    try:
        workdir = os.path.join(desk.root, "work")
        os.makedirs(workdir)
        with open(os.path.join(workdir, "trx.fw"), "wb") as f:
            f.write(os.urandom(16 + options.body_bytes))
        sim = desk.simulator(3, record=False,
                             args=["--body-length", str(options.body_bytes)])
        desk.simulator(10, record=False)

        # Start-up: the inspector already waits when the program starts.
        seen = {}
        waiter = threading.Thread(
            target=lambda: seen.update(desk.inspect("--timeout", 120000, "wait", TITLE, 2, timeout=180)))
        started = time.time()
        app = desk.start_app_nowait(cwd=workdir)
        waiter.start()
        waiter.join()
        with open("/proc/%d/cmdline" % app.pid, "rb") as f:
            command = f.read().split(b"\0")[0].decode(errors="replace")
        print("process measured:          %s (pid %d)" % (command, app.pid))
        figures = {"listed_ms": (seen["at"] - started) * 1000}
        print("start to ports listed:     %.0f ms" % ((seen["at"] - started) * 1000))

        before = cpu_seconds(app.pid)
        time.sleep(options.idle_seconds)  # the measuring interval itself
        idle = cpu_seconds(app.pid) - before
        figures["idle_cpu_percent"] = idle / options.idle_seconds * 100
        print("idle CPU over %.0f s:        %.2f %% of one core (%.2f s)"
              % (options.idle_seconds, idle / options.idle_seconds * 100, idle))

        desk.inspect("select", TITLE, "COM3")
        mark = sim.mark()
        cpu_before = cpu_seconds(app.pid)
        desk.inspect("click", TITLE, "UPDATE!")
        first = sim.wait_for("REPLY1", after=mark, index=True)
        last = sim.wait_for("REPLY2", after=mark, index=True, timeout=3600)
        box = desk.inspect("msgbox", "Information", timeout=120)
        cpu_run = cpu_seconds(app.pid) - cpu_before
        body_seconds = sim.times[last] - sim.times[first]
        n = options.body_bytes
        print("update result:             %s" % box.get("text"))
        print("body of %d bytes:     %.2f s, %.1f us per byte (wire at 57600 8N1: %.1f us)"
              % (n, body_seconds, body_seconds / n * 1e6, WIRE_US_PER_BYTE))
        print("CPU during the run:        %.2f s, %.1f us per body byte"
              % (cpu_run, cpu_run / n * 1e6))
        figures.update(result=box.get("title", "Information"), body_bytes=n,
                       wall_us_per_byte=body_seconds / n * 1e6, cpu_us_per_byte=cpu_run / n * 1e6,
                       peak_kib=status_number(app.pid, "VmHWM"))
        print("peak memory (VmHWM):       %d KiB" % figures["peak_kib"])
        write_json(options.json, figures)
    finally:
        desk.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
