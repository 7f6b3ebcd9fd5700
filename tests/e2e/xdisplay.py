"""Xvfb on a display of its own choosing, for the Linux and the Wine end-to-end
tests and benchmarks."""

import os
import subprocess


def start_xvfb(log, width=1024, height=768, extra_args=()):
    """Starts Xvfb with its output in log (an open file); returns the process and
    the display name once the server has reported it."""
    read_end, write_end = os.pipe()
    try:
        proc = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0",
             "%dx%dx24" % (width, height), "-nolisten", "tcp"] + list(extra_args),
            pass_fds=(write_end,), stdin=subprocess.DEVNULL, stdout=log,
            stderr=subprocess.STDOUT,
        )
    finally:
        os.close(write_end)
    number = b""
    with os.fdopen(read_end, "rb") as pipe:
        while not number.endswith(b"\n"):
            chunk = pipe.read(1)
            if not chunk:
                # Not left running when it gave no display.
                stop(proc)
                raise RuntimeError("Xvfb did not report a display; see its log")
            number += chunk
    return proc, ":" + number.decode().strip()


def stop(proc, timeout=10):
    """Ends a server or helper: politely first, then for sure."""
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
