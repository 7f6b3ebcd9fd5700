"""Runs fu-device-sim from Python and follows its event lines.

Used by the end-to-end tests and the benchmarks:

    sim = Simulator(exe, link, record_dir=d, args=["--body-length", "100"])
    mark = sim.mark()
    ... let the host do something ...
    sim.wait_for("REPLY2", after=mark)
    sim.stop()
"""

import subprocess
import threading
import time


class Simulator:
    def __init__(self, exe, link, record_dir=None, args=(), timeout=10.0):
        command = [exe, "--link", link]
        if record_dir is not None:
            command += ["--record", record_dir]
        command += list(args)
        self.link = link
        self.record_dir = record_dir
        self.lines = []
        self.times = []
        self._cond = threading.Condition()
        self._ended = False
        self.proc = subprocess.Popen(
            command, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True, bufsize=1
        )
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        self.slave = self.wait_for("READY", timeout=timeout).split(" ", 1)[1]

    def _read(self):
        for line in self.proc.stdout:
            with self._cond:
                self.lines.append(line.rstrip("\n"))
                self.times.append(time.monotonic())
                self._cond.notify_all()
        with self._cond:
            self._ended = True
            self._cond.notify_all()

    def mark(self):
        """Index of the next event line; pass it as after= to wait for later ones."""
        with self._cond:
            return len(self.lines)

    def since(self, mark):
        with self._cond:
            return list(self.lines[mark:])

    def wait_for(self, word, after=0, timeout=30.0, index=False):
        """Waits for the first event line at or after `after` whose first word
        is `word`; returns the line (or its index). The timeout is only a
        safety net for a broken run."""
        deadline = time.monotonic() + timeout
        with self._cond:
            at = after
            while True:
                while at < len(self.lines):
                    if self.lines[at].split(" ", 1)[0] == word:
                        return at if index else self.lines[at]
                    at += 1
                left = deadline - time.monotonic()
                if self._ended or left <= 0:
                    raise TimeoutError(
                        "no %s event from the simulator on %s; its events: %s"
                        % (word, self.link, self.lines[after:])
                    )
                self._cond.wait(left)

    def session_path(self, number):
        return "%s/session-%d.bin" % (self.record_dir, number)

    def sessions(self, after=0):
        """Numbers of the sessions whose OPEN line is at or after `after`."""
        with self._cond:
            first = sum(1 for line in self.lines[:after] if line == "OPEN")
            count = sum(1 for line in self.lines[after:] if line == "OPEN")
        return list(range(first + 1, first + count + 1))

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self._reader.join(timeout=10)
        self.proc.stdout.close()
        return self.proc.returncode
