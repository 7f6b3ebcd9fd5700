"""Runs the Windows build under Wine on an own Xvfb display, for the end-to-end tests
and the Wine benchmarks.

    desk = WineDesktop("window")        # Xvfb, a fresh WINEPREFIX, the desktop up
    sim3 = desk.simulator(3, args=[...])
    app = desk.start_app(cwd=workdir)
    info = desk.inspect("dump", TITLE)   # parsed JSON from the inspector
    desk.close()

Paths come from the environment (set by ctest):
  FU_APP_EXE, FU_INSPECTOR_EXE   the Windows build's outputs
  FU_DEVICE_SIM                  the native fu-device-sim
  FU_ARTIFACTS                   where screenshots and logs go
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.abspath(os.path.join(HERE, "..", "..", ".."))
sys.path.insert(0, os.path.join(SOURCE, "tools", "device-simulator"))
sys.path.insert(0, os.path.dirname(HERE))

import xdisplay  # noqa: E402
from fusim import Simulator  # noqa: E402

TITLE = "Update firmware 2.0"
SKIP = 77  # ctest SKIP_RETURN_CODE

def _path_from_env(name):
    value = os.environ.get(name, "")
    return os.path.abspath(value) if value else ""


APP_EXE = _path_from_env("FU_APP_EXE")
INSPECTOR_EXE = _path_from_env("FU_INSPECTOR_EXE")
DEVICE_SIM = _path_from_env("FU_DEVICE_SIM")
ARTIFACTS = os.environ.get("FU_ARTIFACTS", os.path.join(SOURCE, "artifacts", "wine"))


def missing_inputs():
    """What is missing to run under Wine, or "" when everything is there."""
    for label, path in (
        ("the Windows program (FU_APP_EXE; build the windows preset)", APP_EXE),
        ("the Win32 inspector (FU_INSPECTOR_EXE; build the windows preset)", INSPECTOR_EXE),
        ("the device simulator (FU_DEVICE_SIM)", DEVICE_SIM),
    ):
        if not path or not os.path.isfile(path):
            return "missing %s: %r" % (label, path)
    for tool in ("wine", "wineserver", "wineboot", "Xvfb", "import", "xdotool"):
        if shutil.which(tool) is None:
            return "missing the tool %s" % tool
    return ""


def main_or_skip(unittest_main):
    """unittest.main, or the skip code when the Windows build is not there."""
    reason = missing_inputs()
    if reason:
        print("SKIP: Wine end-to-end tests need %s" % reason)
        sys.exit(SKIP)
    unittest_main()


def windows_path(path):
    """The Linux path as the program sees it under Wine (Z: is the Linux root)."""
    return "Z:" + path.replace("/", "\\")


def focused_index(info):
    """Indexes of the focused controls in a window dump."""
    return [i for i, c in enumerate(info["children"]) if c["focused"]]


class _Holder:
    def __init__(self, desk, path, timeout):
        self.out_path = os.path.join(desk.root, "hold-%d.out" % id(self))
        with open(self.out_path, "wb") as out:
            self.proc = subprocess.Popen(
                ["wine", INSPECTOR_EXE, "--timeout", "600000", "holdfile", path],
                env=desk.env, stdin=subprocess.PIPE, stdout=out, stderr=subprocess.DEVNULL)
        # The inspector prints one line once it holds the file (or failed to).
        deadline = time.monotonic() + timeout
        while True:
            with open(self.out_path, encoding="utf-8") as f:
                line = f.readline()
            if line.endswith("\n"):
                break
            if self.proc.poll() is not None or time.monotonic() > deadline:
                break
            time.sleep(0.05)
        self.answer = json.loads(line) if line.strip() else {}
        if "held" not in self.answer:
            self.release()
            raise AssertionError("could not hold %s: %s" % (path, self.answer))

    def release(self):
        if self.proc.poll() is None:
            self.proc.stdin.close()
            try:
                self.proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        elif not self.proc.stdin.closed:
            self.proc.stdin.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.release()


class WineDesktop:
    def __init__(self, name):
        self.name = name
        self.root = tempfile.mkdtemp(prefix="fu-wine-%s-" % name)
        self.logs = os.path.join(self.root, "logs")
        os.makedirs(self.logs)
        self.apps = []
        self.sims = []
        self._xvfb = None
        try:
            self._start_xvfb()
            self._start_wine()
        except BaseException:
            self.close()
            raise

    # --- set-up -------------------------------------------------------------------------

    def _start_xvfb(self):
        with open(os.path.join(self.logs, "xvfb.log"), "wb") as log:
            self._xvfb, self.display = xdisplay.start_xvfb(log)

    def _start_wine(self):
        self.prefix = os.path.join(self.root, "prefix")
        self.env = dict(os.environ)
        self.env.update({
            "WINEPREFIX": self.prefix,
            "WINEDEBUG": "-all",
            # No Mono or Gecko installer dialogs in a fresh prefix.
            "WINEDLLOVERRIDES": "mscoree,mshtml=",
            "DISPLAY": self.display,
        })
        self.env.pop("WAYLAND_DISPLAY", None)
        # Wine's helpers inherit the output of the first Wine program: a file, never a pipe.
        self._run(["wineboot", "-i"], "wineboot.log", timeout=300)
        self.dosdevices = os.path.join(self.prefix, "dosdevices")
        # COM1 opens but is no serial port to the tests; every other COMn is a test pty.
        for entry in os.listdir(self.dosdevices):
            if entry.lower().startswith("com"):
                os.unlink(os.path.join(self.dosdevices, entry))
        os.symlink("/dev/null", os.path.join(self.dosdevices, "com1"))
        # Wine draws the frames itself (there is no window manager on the display), so
        # the screenshots show the title bar.
        self._run(["wine", "reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed",
                   "/d", "N", "/f"], "reg.log", timeout=120)
        # One program brings the desktop up before two run at once.
        self.inspect("list")

    def _run(self, command, log, timeout):
        with open(os.path.join(self.logs, log), "ab") as out:
            return subprocess.run(command, env=self.env, stdin=subprocess.DEVNULL, stdout=out,
                                  stderr=subprocess.STDOUT, timeout=timeout).returncode

    # --- the program, the simulator, the inspector --------------------------------------

    def simulator(self, number, record=True, args=()):
        record_dir = None
        if record:
            record_dir = tempfile.mkdtemp(prefix="record-com%d-" % number, dir=self.root)
        sim = Simulator(DEVICE_SIM, os.path.join(self.dosdevices, "com%d" % number),
                        record_dir=record_dir, args=list(args))
        self.sims.append(sim)
        return sim

    def start_app(self, cwd=None):
        """Starts the program and returns once its window lists its ports."""
        app = self.start_app_nowait(cwd)
        # The window answers once discovery is over and the event loop runs.
        self.inspect("wait", TITLE)
        return app

    def start_app_nowait(self, cwd=None):
        with open(os.path.join(self.logs, "app-%d.log" % len(self.apps)), "wb") as log:
            app = subprocess.Popen(["wine", APP_EXE], env=self.env, cwd=cwd or self.root,
                                   stdin=subprocess.DEVNULL, stdout=log,
                                   stderr=subprocess.STDOUT)
        self.apps.append(app)
        return app

    def inspect(self, *args, timeout=60, check=True):
        """Runs the inspector; returns its last JSON line parsed (or all, for list)."""
        out_path = os.path.join(self.root, "inspector.out")
        err_path = os.path.join(self.root, "inspector.err")
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            code = subprocess.run(["wine", INSPECTOR_EXE] + [str(a) for a in args],
                                  env=self.env, stdin=subprocess.DEVNULL, stdout=out,
                                  stderr=err, timeout=timeout).returncode
        with open(out_path, encoding="utf-8") as f:
            text = f.read()
        with open(err_path, "rb") as f:
            errors = f.read().decode(errors="replace")
        with open(os.path.join(self.logs, "inspector.err"), "a") as log:
            log.write(errors)
        if args and args[0] == "list":
            return [json.loads(line) for line in text.splitlines() if line.startswith("{")]
        if check and code != 0:
            raise AssertionError("inspector %s failed (%d): %s %s"
                                 % (list(args), code, text, errors))
        return json.loads(text) if text.strip() else {}

    def hold_file(self, path, timeout=60.0):
        """Another Wine program opens the file without sharing and keeps it until
        release() (its stdin closes). Returns once it holds it."""
        return _Holder(self, path, timeout)

    def dump(self):
        return self.inspect("dump", TITLE)

    def wait_dump(self, predicate, what, timeout=20.0):
        """Dumps the window until predicate(dump) holds; the timeout is a safety net."""
        deadline = time.monotonic() + timeout
        while True:
            info = self.dump()
            if predicate(info):
                return info
            if time.monotonic() > deadline:
                raise AssertionError("window never showed %s; last dump: %s" % (what, info))

    def screenshot(self, name):
        os.makedirs(ARTIFACTS, exist_ok=True)
        path = os.path.join(ARTIFACTS, name + ".png")
        subprocess.run(["import", "-display", self.display, "-window", "root", path],
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)
        return path

    def crop(self, png, rect, out_path):
        subprocess.run(["convert", png, "-crop", "%dx%d+%d+%d" % (rect["width"], rect["height"],
                        rect["x"], rect["y"]), "+repage", out_path], timeout=60, check=True)

    def pixel(self, png, x, y):
        """(r, g, b) of one pixel of a screenshot."""
        out = subprocess.run(["convert", png, "-crop", "1x1+%d+%d" % (x, y), "-depth", "8",
                              "rgb:-"], capture_output=True, timeout=60).stdout
        return tuple(out[:3])

    def key(self, *keys):
        subprocess.run(["xdotool", "key"] + list(keys), env=self.env, timeout=30,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)

    def stop_app(self, app):
        if app.poll() is None:
            app.kill()
            app.wait(timeout=30)

    def end_test(self):
        """Ends what one test started: its program instances and simulators."""
        for app in self.apps:
            self.stop_app(app)
        self.apps = []
        for sim in self.sims:
            sim.stop()
            sim.proc.stdout.close()
        self.sims = []

    def close(self):
        try:
            self.end_test()
            if getattr(self, "env", None):
                subprocess.run(["wineserver", "-k"], env=self.env, timeout=60,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        finally:
            if self._xvfb is not None:
                xdisplay.stop(self._xvfb, timeout=30)
            if os.environ.get("FU_KEEP_PREFIX"):
                print("kept", self.root)
            else:
                shutil.rmtree(self.root, ignore_errors=True)
