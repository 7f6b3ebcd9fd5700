"""The Windows program under Wine used with the keyboard only: pick the port, type the
path, start the update with Space and dismiss the result with Enter; the device gets the
file byte-exact."""

import os
import subprocess
import time
import unittest

from wineharness import TITLE, WineDesktop, focused_index, main_or_skip

desk = None


def setUpModule():
    global desk
    desk = WineDesktop("keyboard")


def tearDownModule():
    if desk is not None:
        desk.close()


class KeyboardTest(unittest.TestCase):
    def tearDown(self):
        desk.end_test()

    def type_text(self, text):
        subprocess.run(["xdotool", "type", "--delay", "20", text], env=desk.env, timeout=60,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)

    def tab_to(self, index):
        desk.key("Tab")
        return desk.wait_dump(lambda d: focused_index(d) == [index], "control %d focused" % index)

    def test_a_whole_update_from_the_keyboard(self):
        workdir = os.path.join(desk.root, "keyboard")
        os.makedirs(workdir)
        data = os.urandom(16 + 500)
        with open(os.path.join(workdir, "kb.fw"), "wb") as f:
            f.write(data)
        sim = desk.simulator(3, args=["--body-length", "500"])
        desk.simulator(10, record=False)
        desk.start_app(cwd=workdir)
        desk.wait_dump(lambda d: d["foreground"], "the window in the foreground")

        self.tab_to(0)
        desk.key("Down")
        desk.wait_dump(lambda d: d["children"][0]["selection"] == 0, "COM3 picked with Down")
        self.tab_to(1)
        desk.key("End", "shift+Home")
        self.type_text("kb.fw")
        desk.wait_dump(lambda d: d["children"][1]["text"] == "kb.fw", "the typed path")
        self.tab_to(2)
        self.tab_to(4)

        mark = sim.mark()
        desk.key("space")
        sim.wait_for("HEADER", after=mark)
        box = desk.inspect("msgbox", "Information", "--keep")
        self.assertEqual(box["text"], "Device update!")
        self.assertEqual(box["owner"], TITLE)
        desk.screenshot("keyboard-update-done")
        # Keys go to the active window: the box takes them once it is in front.
        deadline = time.monotonic() + 20
        while not box["foreground"] and time.monotonic() < deadline:
            box = desk.inspect("msgbox", "Information", "--keep")
        self.assertTrue(box["foreground"])
        desk.key("Return")
        desk.inspect("wait-gone", "Information")
        sim.wait_for("CLOSED", after=mark)
        with open(sim.session_path(sim.sessions(after=mark)[0]), "rb") as f:
            self.assertEqual(f.read(), data)


if __name__ == "__main__":
    main_or_skip(unittest.main)
