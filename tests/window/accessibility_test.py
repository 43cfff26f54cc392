#!/usr/bin/python3
"""The real program read the way a screen reader reads it: through AT-SPI.

Run inside tests/window/atspi_session.sh:
    tests/window/atspi_session.sh /usr/bin/python3 tests/window/accessibility_test.py BINARY

Finds the program and its dialog on the AT-SPI bus; checks that every control a person works
with has a name to read, that each label's name is its own text, and that the status line's
name is what it shows: after Open (COM1 linked to a pseudo-terminal made here) it reads the
status text for the default settings, and the change is announced as a name-change event."""

import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import atspi_util as au  # noqa: E402
from atspi_util import Atspi, pyatspi  # noqa: E402

BINARY = None
CONNECTED = " Connected : COM1,57600,8bit,1bit,none,none"
# The dialog's labels (the text each shows), each naming one field.
LABELS = ["Serial Port", "Baud Rate", "Data Bit", "Stop Bit", "Parity", "Flow Control",
          "IP Address", "Port"]
LABELLED = {"Serial Port": Atspi.Role.COMBO_BOX, "Baud Rate": Atspi.Role.COMBO_BOX,
            "Data Bit": Atspi.Role.COMBO_BOX, "Stop Bit": Atspi.Role.COMBO_BOX,
            "Parity": Atspi.Role.COMBO_BOX, "Flow Control": Atspi.Role.COMBO_BOX,
            "IP Address": Atspi.Role.TEXT, "Port": Atspi.Role.TEXT}
P, C, T = Atspi.Role.PUSH_BUTTON, Atspi.Role.CHECK_BOX, Atspi.Role.TEXT
# The controls a person works with (role, name a screen reader reads), in the dialog's order;
# the six drop-down lists come on top of these.
CONTROLS = [
    (P, "Open"), (P, "Clear"), (T, "Serial send line"), (P, "Send"), (T, "IP Address"),
    (T, "Port"), (P, "Connect"), (T, "Network send line"), (P, "Send"), (P, "Clear"),
    (P, "Exit"), (C, "Server Mode"), (C, "Hex View"), (C, "Hex View"),
    (P, "File Send"), (P, "File Send"), (T, "Serial console"), (T, "Network console"),
]
# The roles of the controls a person works with, each of which must have a name to read.
CONTROL_ROLES = {
    Atspi.Role.PUSH_BUTTON, Atspi.Role.CHECK_BOX, Atspi.Role.COMBO_BOX, Atspi.Role.TEXT,
    Atspi.Role.ENTRY, Atspi.Role.PASSWORD_TEXT, Atspi.Role.EDITBAR, Atspi.Role.RADIO_BUTTON,
    Atspi.Role.SPIN_BUTTON, Atspi.Role.SLIDER, Atspi.Role.LIST,
}


class Accessibility(unittest.TestCase):
    def setUp(self):
        self.events = []
        # Listen before the program starts, so that its bridge knows from the start that
        # someone wants name changes.
        self.listener = lambda event: self.events.append(
            (event.type, event.source, event.any_data))
        pyatspi.Registry.registerEventListener(self.listener,
                                               "object:property-change:accessible-name")
        self.program = au.Program(BINARY)
        self.pid = self.program.start()
        self.app = au.find_application(self.pid)
        self.dialog = au.find_dialog(self.app)
        # The tree is complete once the status line is in it.
        self.status = au.wait_for(lambda: au.find_described(self.dialog, "Status line"), 10,
                                  "the status line")

    def tearDown(self):
        pyatspi.Registry.deregisterEventListener(self.listener,
                                                 "object:property-change:accessible-name")
        self.program.stop()

    def test_controls_have_names_and_labels_read_their_text(self):
        nodes = au.descendants(self.dialog)
        controls = [n for n in nodes if n.get_role() in CONTROL_ROLES and au.showing(n)]
        nameless = ["%s at %s" % (n.get_role_name(), n.get_extents(Atspi.CoordType.WINDOW))
                    for n in controls if not n.name.strip()]
        self.assertEqual(nameless, [], "controls without a name to read")
        found = [(n.get_role(), n.name) for n in controls if n.get_role() != Atspi.Role.COMBO_BOX]
        self.assertEqual([c for c in CONTROLS if c not in found], [], "controls missing")
        combos = [n for n in controls if n.get_role() == Atspi.Role.COMBO_BOX]
        self.assertEqual(len(combos), 6)

        # On Linux Qt names a drop-down list by its current item; what it is for comes from
        # its label, through the "labelled by" relation a screen reader reads with it. The
        # address and port fields are labelled the same way.
        port = au.find_labelled(self.dialog, Atspi.Role.COMBO_BOX, "Serial Port")
        self.assertIsNotNone(port, "no drop-down list labelled Serial Port")
        self.assertEqual(port.name, "COM1")
        for label, role in LABELLED.items():
            self.assertIsNotNone(au.find_labelled(self.dialog, role, label),
                                 "no %s labelled %r" % (Atspi.Role(role).value_nick, label))

        # Each label's name is its own text: the text it shows (its text interface where Qt
        # gives it one; otherwise the dialog's own text for it).
        labels = [n for n in nodes if n.get_role() in (Atspi.Role.LABEL, Atspi.Role.STATIC)]
        names = [n.name for n in labels]
        self.assertEqual([t for t in LABELS if t not in names], [], "labels missing")
        for label in labels:
            if au.has_text(label):
                self.assertEqual(label.name, au.text_of(label))

    def test_status_line_name_is_what_it_shows_and_changes_are_announced(self):
        # The status line's name is what it shows: nothing yet, or what the start-up said.
        if au.has_text(self.status):
            self.assertEqual(au.fresh_name(self.status), au.text_of(self.status))
        open_button = au.find(self.dialog, Atspi.Role.PUSH_BUTTON, "Open")
        self.assertIsNotNone(open_button)
        au.press(open_button)

        au.wait_for(lambda: au.fresh_name(self.status) == CONNECTED, 10,
                    "the status line's name to read %r (it reads %r)" % (
                        CONNECTED, au.fresh_name(self.status)))
        if au.has_text(self.status):
            self.assertEqual(au.text_of(self.status), CONNECTED)

        def announced():
            return [e for e in self.events if e[1] is not None and
                    e[1].get_description() == "Status line" and
                    (e[2] == CONNECTED or e[1].get_name() == CONNECTED)]
        au.wait_for(announced, 5, "a name-change event for the status line")
        # The button now offers the opposite.
        au.wait_for(lambda: au.fresh_name(open_button) == "Close", 5,
                    "the Open button to read Close")


def main():
    global BINARY
    if len(sys.argv) < 2:
        sys.exit("usage: accessibility_test.py VASKEL_BINARY")
    BINARY = sys.argv.pop(1)
    start = time.monotonic()
    result = unittest.main(exit=False, verbosity=2, warnings="").result
    print("took %.1f s" % (time.monotonic() - start))
    sys.exit(0 if result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
