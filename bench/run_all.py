#!/usr/bin/python3
"""Runs every benchmark on both builds and writes docs/benchmarks.md.

As root, after `scripts/test.sh` (or after building the native and windows presets):
    /usr/bin/python3 bench/run_all.py [--idle-seconds 10] [--size 1048576] [--out docs/benchmarks.md]

Prints the table too. Figures only: nothing here passes or fails on a timing.
"""

import argparse
import datetime
import json
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, HERE)

from procstats import WIRE_US_PER_BYTE  # noqa: E402

NATIVE = os.path.join(REPO, "build", "native")
WINDOWS = os.path.join(REPO, "build", "windows")
EXE = os.path.join(WINDOWS, "platform", "win32", "firmware-updater.exe")

METHOD = """\
## Method

`bench/run_all.py` runs `bench/linux/bench_linux.py` and `bench/wine/bench_wine.py` one after the
other and writes this page. Each starts the real program on its own Xvfb desktop with device
simulators (`tools/device-simulator`) on ptys as COM3 and COM10 (Linux: in a private mount
namespace; Windows build: under Wine, the ptys linked in a throwaway prefix's `dosdevices`).

- **per body byte**: a {size}-byte file is flashed through the window; wall time runs from the
  simulator's first reply to its last body byte; CPU is the program's utime + stime over the run
  (under Wine: the Wine process of the program). Both per body byte, and as a ratio to the
  {wire:.1f} µs a byte takes on the wire at 57600 baud 8N1. A pty has no line rate and reports an
  empty output queue at once, so this is the tool's own per-byte overhead.
- **idle CPU**: utime + stime of the program over {idle:g} s with nothing to do, in % of one core.
- **to a listed window**: from start until discovery has listed its ports (Linux: the last present
  port's probe closed; Wine: the inspector sees both entries in the list).
- **peak memory**: VmHWM of the program's process after the transfer.
- **size of the .exe**: the static `firmware-updater.exe` of the windows preset.

The machine: {machine}. Figures from a shared 2-core machine vary between runs; compare the ratios.
"""


def run_bench(label, command, env=None):
    with tempfile.NamedTemporaryFile(suffix=".json", delete=False) as f:
        out = f.name
    print("== %s: %s" % (label, " ".join(command)), flush=True)
    result = subprocess.run(command + ["--json", out], env=env, check=False)
    try:
        with open(out) as f:
            figures = json.load(f)
    except (OSError, ValueError):
        figures = {}
    os.unlink(out)
    if result.returncode != 0 or not figures:
        print("== %s: no figures (exit %d)" % (label, result.returncode), flush=True)
    return figures


def cell(figures, key, fmt):
    return fmt % figures[key] if key in figures else "n/a"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--idle-seconds", type=float, default=10.0)
    parser.add_argument("--size", type=int, default=1 << 20)
    parser.add_argument("--out", default=os.path.join(REPO, "docs", "benchmarks.md"))
    args = parser.parse_args()

    linux = run_bench("Linux build", [
        sys.executable, os.path.join(HERE, "linux", "bench_linux.py"),
        "--program", os.path.join(NATIVE, "platform", "linux", "firmware-updater"),
        "--simulator", os.path.join(NATIVE, "tools", "fu-device-sim"),
        "--idle-seconds", str(args.idle_seconds), "--size", str(args.size)])
    env = dict(os.environ,
               FU_APP_EXE=EXE,
               FU_INSPECTOR_EXE=os.path.join(WINDOWS, "tools", "win32-inspector", "inspector.exe"),
               FU_DEVICE_SIM=os.path.join(NATIVE, "tools", "fu-device-sim"))
    wine = run_bench("Windows build under Wine", [
        sys.executable, os.path.join(HERE, "wine", "bench_wine.py"),
        "--idle-seconds", str(args.idle_seconds), "--body-bytes", str(args.size - 16)], env=env)

    rows = [
        ("host time per body byte (µs)", "wall_us_per_byte", "%.2f"),
        ("CPU per body byte (µs)", "cpu_us_per_byte", "%.2f"),
    ]
    lines = ["| figure | Linux build | Windows build (Wine) |", "|---|---|---|"]
    for label, key, fmt in rows:
        lines.append("| %s | %s | %s |" % (label, cell(linux, key, fmt), cell(wine, key, fmt)))
    for label, key in (("host time / wire time", "wall_us_per_byte"),
                       ("CPU time / wire time", "cpu_us_per_byte")):
        ratio = {k: v[key] / WIRE_US_PER_BYTE for k, v in (("l", linux), ("w", wine)) if key in v}
        lines.append("| %s (wire: %.1f µs per byte) | %s | %s |" % (
            label, WIRE_US_PER_BYTE, "%.4f" % ratio["l"] if "l" in ratio else "n/a",
            "%.4f" % ratio["w"] if "w" in ratio else "n/a"))
    lines.append("| idle CPU over %g s (%% of one core) | %s | %s |" % (
        args.idle_seconds, cell(linux, "idle_cpu_percent", "%.2f"),
        cell(wine, "idle_cpu_percent", "%.2f")))
    lines.append("| start to a listed window (ms) | %s | %s |" % (
        cell(linux, "listed_ms", "%.0f"), cell(wine, "listed_ms", "%.0f")))
    lines.append("| peak memory, VmHWM (KiB) | %s | %s |" % (
        cell(linux, "peak_kib", "%d"), cell(wine, "peak_kib", "%d")))
    exe_size = os.path.getsize(EXE) if os.path.isfile(EXE) else None
    lines.append("| size of the .exe (bytes) | | %s |" % (exe_size if exe_size else "n/a"))
    table = "\n".join(lines)

    machine = "%d cores, %s" % (os.cpu_count() or 0, os.uname().release)
    page = "# Benchmarks\n\n" + METHOD.format(size=args.size, wire=WIRE_US_PER_BYTE,
                                               idle=args.idle_seconds, machine=machine)
    page += "\n## Latest figures (%s)\n\n%s\n" % (datetime.date.today().isoformat(), table)
    with open(args.out, "w") as f:
        f.write(page)
    print(table)
    return 0


if __name__ == "__main__":
    sys.exit(main())
