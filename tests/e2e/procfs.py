"""What /proc tells about a process, for the soak tests and the benchmarks."""

import os

TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    """utime + stime of the process so far."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def status_number(pid, key):
    """The number of a /proc/<pid>/status line (Threads; VmRSS and VmHWM in
    KiB), or -1 when the line is missing."""
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return -1


def open_fds(pid):
    return len(os.listdir("/proc/%d/fd" % pid))
