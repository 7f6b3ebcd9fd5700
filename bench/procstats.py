"""Figures read from /proc for the benchmark scripts."""

import os

TICKS = os.sysconf("SC_CLK_TCK")
WIRE_US_PER_BYTE = 10 / 57600 * 1e6  # start bit, 8 data bits, stop bit at 57600 baud


def cpu_seconds(pid):
    """utime + stime of the process so far."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def status_kib(pid, key):
    """A kB figure of /proc/<pid>/status (VmHWM, VmRSS), or -1."""
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return -1


def write_json(path, figures):
    """Hands the figures to bench/run_all.py when it asked for them."""
    if path:
        import json
        with open(path, "w") as f:
            json.dump(figures, f, indent=1)
