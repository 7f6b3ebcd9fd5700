"""The Windows program under Wine: start-up, the main window and its controls, the port
list, the keyboard and closing the window."""

import os
import unittest

from wineharness import ARTIFACTS, TITLE, WineDesktop, focused_index, main_or_skip

WS_TABSTOP = 0x00010000
WS_MAXIMIZEBOX = 0x00010000
WS_MINIMIZEBOX = 0x00020000
WS_THICKFRAME = 0x00040000
WS_SYSMENU = 0x00080000
WS_CAPTION = 0x00C00000
WS_EX_CLIENTEDGE = 0x00000200
CBS_TYPEMASK = 0x3
CBS_DROPDOWNLIST = 0x3
CBS_SORT = 0x0100
ES_AUTOHSCROLL = 0x0080
BS_TYPEMASK = 0xF
BS_PUSHBUTTON = 0x0

# class, rect (x, y, width, height), text, in creation order
CONTROLS = [
    ("ComboBox", (10, 10, 70, 20), ""),
    ("Edit", (90, 10, 280, 20), "trx.fw"),
    ("Button", (380, 10, 90, 20), "Open"),
    ("msctls_progress32", (10, 50, 460, 30), None),
    ("Button", (170, 90, 140, 40), "UPDATE!"),
]

desk = None


def setUpModule():
    global desk
    desk = WineDesktop("window")


def tearDownModule():
    if desk is not None:
        desk.close()


def style(control):
    return int(control["style"], 16)


class MainWindowTest(unittest.TestCase):
    def setUp(self):
        desk.simulator(3, record=False)
        desk.simulator(10, record=False)
        self.app = desk.start_app()

    def tearDown(self):
        desk.end_test()

    def test_window_and_controls_as_laid_out(self):
        info = desk.dump()
        self.assertEqual(info["title"], TITLE)
        self.assertEqual((info["client"]["width"], info["client"]["height"]), (480, 140))
        window_style = int(info["style"], 16)
        self.assertEqual(window_style & (WS_CAPTION | WS_SYSMENU), WS_CAPTION | WS_SYSMENU)
        self.assertEqual(window_style & (WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX), 0)
        outer, screen = info["outer"], info["screen"]
        self.assertEqual(outer["x"], max(0, (screen["width"] - outer["width"]) // 2))
        self.assertEqual(outer["y"], max(0, (screen["height"] - outer["height"]) // 2))
        self.assertTrue(info["foreground"])

        children = info["children"]
        self.assertEqual(
            [(c["class"], tuple(c["rect"][k] for k in ("x", "y", "width", "height")),
              c.get("text") if expected is not None else None)
             for c, (_, _, expected) in zip(children, CONTROLS)],
            CONTROLS)
        self.assertEqual(len(children), len(CONTROLS))
        ids = [c["id"] for c in children]
        self.assertEqual(ids, sorted(ids), "z order is creation order")
        self.assertTrue(all(c["enabled"] for c in children))
        self.assertEqual(focused_index(info), [], "no control has the focus at start")
        self.assertTrue(info["focus_is_window"])

        ports, path, open_button, bar, update_button = children
        self.assertEqual(ports["entries"], ["COM3", "COM10"])
        self.assertEqual(ports["selection"], -1)
        self.assertEqual(style(ports) & CBS_TYPEMASK, CBS_DROPDOWNLIST)
        self.assertEqual(style(ports) & CBS_SORT, 0)
        # The list's entries follow the default GUI font, not the system font.
        self.assertEqual(ports["item_height"], info["font_heights"]["default_gui"])
        self.assertTrue(int(path["exstyle"], 16) & WS_EX_CLIENTEDGE)
        self.assertTrue(style(path) & ES_AUTOHSCROLL)
        self.assertGreaterEqual(path["limit"], 0x7FFFFFFE)
        for button in (open_button, update_button):
            self.assertEqual(style(button) & BS_TYPEMASK, BS_PUSHBUTTON)
        for control in (ports, path, open_button, update_button):
            self.assertTrue(style(control) & WS_TABSTOP, control["class"])
        self.assertFalse(style(bar) & WS_TABSTOP)
        self.assertEqual((bar["range_low"], bar["range_high"], bar["position"]), (0, 100, 0))

        shot = desk.screenshot("main-window")
        # Background in the button-face colour: a point between the bar and UPDATE!.
        face = info["button_face"]
        self.assertEqual(desk.pixel(shot, outer["x"] + (outer["width"] - 480) // 2 + 5,
                                    outer["y"] + outer["height"] - 140 - 3 + 85),
                         (face & 0xFF, (face >> 8) & 0xFF, (face >> 16) & 0xFF))

    def test_port_list_drops_down_to_show_its_entries(self):
        desk.inspect("drop", TITLE)
        info = desk.wait_dump(lambda d: d["children"][0]["dropped"], "the list dropped")
        ports = info["children"][0]
        self.assertEqual(ports["rect"]["height"], 20, "the closed box keeps its height")
        lists = [w for w in desk.inspect("list") if w["class"] == "ComboLBox" and w["visible"]]
        self.assertEqual(len(lists), 1)
        self.assertGreaterEqual(lists[0]["rect"]["height"], 2 * ports["item_height"])
        shot = desk.screenshot("main-window-list-open")
        outer = info["outer"]
        # The README's picture is copied from here by hand; tests leave the tree alone.
        desk.crop(shot, outer, os.path.join(ARTIFACTS, "screenshot-windows.png"))

    def test_tab_and_shift_tab_wrap_through_the_input_controls(self):
        order = []
        for key in ["Tab"] * 5 + ["shift+Tab"] * 2:
            before = desk.dump()
            desk.key(key)
            info = desk.wait_dump(lambda d: focused_index(d) != focused_index(before)
                                  and focused_index(d) != [], "the focus moved by " + key)
            order.append(focused_index(info)[0])
        self.assertEqual(order, [0, 1, 2, 4, 0, 4, 2])

    def test_space_on_a_focused_button_presses_it(self):
        desk.inspect("settext", TITLE, "Z:\\no\\such\\file.fw")
        for _ in range(4):
            desk.key("Tab")
        desk.wait_dump(lambda d: focused_index(d) == [4], "UPDATE! focused")
        desk.key("space")
        box = desk.inspect("msgbox", "ERROR:1")
        self.assertEqual(box["text"], "Firmware missing!")

    def test_open_then_cancel_empties_the_path_field(self):
        desk.inspect("click", TITLE, "Open")
        dialog = desk.inspect("msgbox", "Please choose file to load", "--keep")
        self.assertEqual(dialog["owner"], TITLE)
        desk.screenshot("file-dialog")
        desk.inspect("msgbox", "Please choose file to load", "--cancel")
        desk.inspect("wait-gone", "Please choose file to load")
        desk.wait_dump(lambda d: d["children"][1]["text"] == "", "an empty path field")

    def test_closing_the_window_ends_the_program_with_code_0(self):
        desk.inspect("close", TITLE)
        self.assertEqual(self.app.wait(timeout=30), 0)

    def test_alt_f4_ends_the_program_with_code_0(self):
        desk.wait_dump(lambda d: d["foreground"], "the window in the foreground")
        desk.key("alt+F4")
        self.assertEqual(self.app.wait(timeout=30), 0)


if __name__ == "__main__":
    main_or_skip(unittest.main)
