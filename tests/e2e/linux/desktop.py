"""A private X desktop for the Linux end-to-end tests and benchmarks: Xvfb on
a free display, a small window manager (openbox, for close requests, focus
and frames like a desktop's), the program under test in its own mount
namespace, and xdotool/xwininfo to drive and read it from outside.

Every wait here polls for a state that X shows (a window exists, is gone)
and has a timeout only as a safety net."""

import os
import re
import socket
import struct
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))

import xdisplay  # noqa: E402

NAMESPACE = os.path.join(HERE, "run_in_namespace.sh")
MESSAGE_TITLES = r"Information|ERROR:[0-9]+"


class Timeout(AssertionError):
    pass


def wait_until(what, probe, timeout=30.0, interval=0.02):
    deadline = time.monotonic() + timeout
    while True:
        value = probe()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Timeout("timed out waiting for " + what)
        time.sleep(interval)


def _recv(sock, size):
    data = b""
    while len(data) < size:
        chunk = sock.recv(size - len(data))
        if not chunk:
            raise RuntimeError("the X server closed the connection")
        data += chunk
    return data


class Desktop:
    def __init__(self, log_dir, width=1024, height=768):
        os.makedirs(log_dir, exist_ok=True)
        self.log_dir = log_dir
        self._logs = []
        self.xvfb, self.display = xdisplay.start_xvfb(
            self._log("xvfb.log"), width, height, extra_args=["-noreset"])
        self.env = dict(os.environ, DISPLAY=self.display, QT_QPA_PLATFORM="xcb")
        self.env.pop("WAYLAND_DISPLAY", None)
        self.wm = subprocess.Popen(
            ["openbox", "--sm-disable"], env=self.env, stdin=subprocess.DEVNULL,
            stdout=self._log("openbox.log"), stderr=subprocess.STDOUT,
        )
        wait_until("the window manager", lambda: "window id" in self.run(
            ["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"], check=False))

    def _log(self, name):
        f = open(os.path.join(self.log_dir, name), "ab")
        self._logs.append(f)
        return f

    def run(self, command, check=True):
        result = subprocess.run(command, env=self.env, capture_output=True, text=True,
                                timeout=30)
        if check and result.returncode != 0:
            raise RuntimeError("%s failed: %s" % (command, result.stderr.strip()))
        return result.stdout

    def xdotool(self, *args, check=True):
        return self.run(["xdotool"] + [str(a) for a in args], check=check)

    # --- windows -------------------------------------------------------

    def windows(self, name_regex, pid=None):
        """Visible windows (of pid, if given) whose whole title matches
        name_regex. xdotool's own matching is an "any condition" match and
        ignores case, so the title is matched here."""
        args = ["search", "--all", "--onlyvisible"]
        if pid is not None:
            args += ["--pid", pid]
        args += ["--name", "."]
        found = []
        for w in self.xdotool(*args, check=False).split():
            title = self.xdotool("getwindowname", w, check=False).rstrip("\n")
            if re.fullmatch(name_regex, title):
                found.append(int(w))
        return found

    def wait_window(self, name_regex, pid=None, timeout=30.0):
        return wait_until("a window named %s" % name_regex,
                          lambda: self.windows(name_regex, pid), timeout)[0]

    def wait_gone(self, window, timeout=30.0):
        wait_until("window %d to go" % window, lambda: not self.is_viewable(window), timeout)

    def is_viewable(self, window):
        info = self.run(["xwininfo", "-id", str(window)], check=False)
        return "IsViewable" in info

    def geometry(self, window):
        """(x, y, width, height) of the window's client area on the screen."""
        info = self.run(["xwininfo", "-id", str(window)])
        field = lambda key: int(re.search(key + r":\s+(-?\d+)", info).group(1))
        return (field("Absolute upper-left X"), field("Absolute upper-left Y"),
                field("Width"), field("Height"))

    def title(self, window):
        return self.xdotool("getwindowname", window).strip()

    def message_boxes(self, pid=None):
        """Titles of the message boxes on screen."""
        return [self.title(w) for w in self.windows(MESSAGE_TITLES, pid)]

    def all_windows(self, pid):
        """Every visible window of pid, titled or not (menus, pop-ups)."""
        out = self.xdotool("search", "--all", "--onlyvisible", "--pid", pid, check=False)
        return {int(w) for w in out.split()}

    # --- input ---------------------------------------------------------

    def activate(self, window):
        self.xdotool("windowactivate", "--sync", window)

    def click(self, window, x, y):
        self.xdotool("mousemove", "--window", window, x, y, "click", "1")

    def key(self, *keys):
        self.xdotool("key", "--delay", "30", *keys)

    def type(self, text):
        """Types text. Characters outside the US keymap must have been bound
        with bind_keys() before the program started: xdotool would otherwise
        remap a spare key for each one, and a toolkit that reloads its keymap
        asynchronously drops some of them."""
        for part in re.findall(r"[\x20-\x7e]+|[^\x20-\x7e]", text):
            if part.isascii():
                self.xdotool("type", "--delay", "5", "--", part)
            else:
                self.key("U%04X" % ord(part))

    def bind_keys(self, text):
        """Binds each character of text that is not plain ASCII to a spare
        key code of the X server, so that typing it needs no remapping."""
        wanted = sorted({c for c in text if not c.isascii()})
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as x:
            x.settimeout(30)
            x.connect("/tmp/.X11-unix/X" + self.display.lstrip(":"))
            x.sendall(struct.pack("<BxHHHHxx", 0x6C, 11, 0, 0, 0))
            head = _recv(x, 8)
            setup = _recv(x, struct.unpack_from("<H", head, 6)[0] * 4)
            if head[0] != 1:
                raise RuntimeError("X server refused the connection")
            first, last = setup[26], setup[27]
            count = last - first + 1
            # GetKeyboardMapping for every key code.
            x.sendall(struct.pack("<BxHBBxx", 101, 2, first, count))
            reply = _recv(x, 32)
            if reply[0] != 1:
                raise RuntimeError("GetKeyboardMapping failed")
            per_key = reply[1]
            syms = struct.unpack("<%dI" % (count * per_key),
                                 _recv(x, struct.unpack_from("<I", reply, 4)[0] * 4))
            present = set(syms)
            spare = [first + i for i in range(count - 1, -1, -1)
                     if not any(syms[i * per_key:(i + 1) * per_key])]
            # Keep the lowest spare code free for xdotool's own remapping.
            spare = spare[:-1]
            for c in wanted:
                # The keysym that xdotool's "U<hex>" names: Latin-1 keeps its
                # own code, the rest of Unicode is offset.
                keysym = ord(c) if ord(c) < 0x100 else 0x1000000 | ord(c)
                if keysym in present:
                    continue
                if not spare:
                    raise RuntimeError("no spare key code for %r" % c)
                code = spare.pop(0)
                row = [keysym, keysym] + [0] * (per_key - 2)
                x.sendall(struct.pack("<BBHBBxx%dI" % per_key, 100, 1, 2 + per_key, code,
                                      per_key, *row))
            # A round trip: an error for the changes would arrive before it.
            x.sendall(struct.pack("<BxHBBxx", 101, 2, first, 1))
            reply = _recv(x, 32)
            while reply[0] > 1:  # the MappingNotify events of the changes
                reply = _recv(x, 32)
            if reply[0] != 1:
                raise RuntimeError("ChangeKeyboardMapping failed")
            _recv(x, struct.unpack_from("<I", reply, 4)[0] * 4)

    def screenshot(self, path):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        self.run(["import", "-display", self.display, "-window", "root", path], check=False)

    # --- the program ---------------------------------------------------

    def start_program(self, program, ports, cwd, log_name="program.log"):
        """Starts the program in its own mount namespace; ports maps device
        nodes ("ttyS2") to the paths they should lead to."""
        command = [NAMESPACE]
        for node, target in ports.items():
            command += ["--port", "%s=%s" % (node, target)]
        command += ["--", os.path.abspath(program)]
        return subprocess.Popen(command, env=self.env, cwd=cwd, stdin=subprocess.DEVNULL,
                                stdout=self._log(log_name), stderr=subprocess.STDOUT)

    def close(self):
        for proc in (self.wm, self.xvfb):
            xdisplay.stop(proc)
        for f in self._logs:
            f.close()
