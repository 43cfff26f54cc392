"""Helpers for driving the real Vaskel program through AT-SPI, shared by the accessibility test
and bench/ui_latency. Everything here expects to run inside tests/window/atspi_session.sh, which
provides the private X display, session bus and AT-SPI bus."""

import ctypes
import os
import shutil
import subprocess
import tempfile
import time
import warnings

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi, GLib  # noqa: E402
import pyatspi  # noqa: E402

# libatspi marks some of the calls used here deprecated in favour of names Debian 12's version
# does not have yet.
warnings.filterwarnings("ignore", category=DeprecationWarning)

DIALOG_TITLE = "Vaskel Ver. 1.0"


def pump(seconds=0.0):
    """Dispatches pending AT-SPI events (they arrive through GLib's main context), for at least
    the given time."""
    context = GLib.MainContext.default()
    end = time.monotonic() + seconds
    while True:
        while context.pending():
            context.iteration(False)
        if time.monotonic() >= end:
            return
        time.sleep(0.002)


def wait_for(predicate, timeout, what, step=0.01):
    """Polls predicate() (pumping events between tries) until it returns something true; raises
    with `what` when the time-out passes first."""
    end = time.monotonic() + timeout
    last_error = None
    while True:
        try:
            value = predicate()
            if value:
                return value
        except GLib.Error as e:  # the object went away or the app is busy: try again
            last_error = e
        if time.monotonic() >= end:
            raise TimeoutError("timed out waiting for %s%s" % (
                what, " (last error: %s)" % last_error if last_error else ""))
        pump(step)


class Program:
    """The built program, copied into a private folder (its "program folder", where COMn links
    are looked up and captures go), with COM1 linked to a pseudo-terminal made here."""

    def __init__(self, binary, link_com1=True):
        self.dir = tempfile.mkdtemp(prefix="vaskel-a11y-")
        self.binary = os.path.join(self.dir, "vaskel")
        shutil.copy2(binary, self.binary)
        self.master = self.slave = None
        if link_com1:
            self.master, self.slave = os.openpty()
            os.set_blocking(self.master, False)
            os.symlink(os.ttyname(self.slave), os.path.join(self.dir, "COM1"))
        self.process = None

    def start(self):
        self.process = subprocess.Popen([self.binary], cwd=self.dir,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return self.process.pid

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        for fd in (self.master, self.slave):
            if fd is not None:
                os.close(fd)
        self.master = self.slave = None
        shutil.rmtree(self.dir, ignore_errors=True)


def find_application(pid, timeout=15):
    """The AT-SPI application object of the process `pid`."""
    def look():
        desktop = pyatspi.Registry.getDesktop(0)
        for i in range(desktop.childCount):
            app = desktop.getChildAtIndex(i)
            if app is not None and app.get_process_id() == pid:
                return app
        return None
    return wait_for(look, timeout, "the program on the AT-SPI bus")


def find_dialog(app, timeout=15):
    """The program's top-level window titled DIALOG_TITLE."""
    def look():
        for i in range(app.childCount):
            child = app.getChildAtIndex(i)
            if child is not None and child.name == DIALOG_TITLE:
                return child
        return None
    return wait_for(look, timeout, "the window %r" % DIALOG_TITLE)


def descendants(root):
    """Every accessible below root, depth first in the program's own order (for this dialog,
    the order of its template)."""
    out = []
    stack = [root]
    while stack:
        node = stack.pop()
        if node is not root:
            out.append(node)
        for i in range(node.childCount - 1, -1, -1):
            child = node.getChildAtIndex(i)
            if child is not None:
                stack.append(child)
    return out


def find(root, role, name, nth=0):
    """The nth accessible below root with this role and name, or None. (Qt 6.4 does not give
    AT-SPI the widgets' object names, so controls are found as a person finds them: by what
    they are and what they are called.)"""
    matches = [n for n in descendants(root) if n.get_role() == role and n.get_name() == name]
    return matches[nth] if nth < len(matches) else None


def find_labelled(root, role, label):
    """The accessible below root with this role that the label `label` names."""
    for node in descendants(root):
        if node.get_role() == role and label in labelled_by(node):
            return node
    return None


def find_described(root, description):
    for node in descendants(root):
        if node.get_description() == description:
            return node
    return None


def has_text(acc):
    return "Text" in acc.get_interfaces()


def text_of(acc, start=0, end=-1):
    """The text (or a slice of it) of an accessible with the text interface, read afresh."""
    if end < 0:
        end = Atspi.Text.get_character_count(acc)
    return Atspi.Text.get_text(acc, start, end)


def char_count(acc):
    return Atspi.Text.get_character_count(acc)


def labelled_by(acc):
    """The names of the labels that the accessible says name it."""
    out = []
    for relation in acc.get_relation_set():
        if relation.get_relation_type() == Atspi.RelationType.LABELLED_BY:
            for i in range(relation.get_n_targets()):
                out.append(relation.get_target(i).get_name())
    return out


def fresh_name(acc):
    """The accessible's name as the program says it now, not as libatspi last cached it."""
    acc.clear_cache()
    return acc.get_name()


def press(acc):
    """Does the accessible's "Press" action (what a screen reader's activate command does)."""
    names = [Atspi.Action.get_action_name(acc, i) for i in range(Atspi.Action.get_n_actions(acc))]
    if "Press" not in names:
        raise RuntimeError("%r has no Press action (it has %s)" % (acc.get_name(), names))
    Atspi.Action.do_action(acc, names.index("Press"))


def showing(acc):
    return acc.get_state_set().contains(Atspi.StateType.SHOWING)


def screen_center(acc):
    r = acc.get_extents(Atspi.CoordType.SCREEN)
    return r.x + r.width // 2, r.y + r.height // 2


class XTest:
    """Synthetic key presses and clicks through the XTest extension, without starting a
    process per event (so timings start when the event is sent, not when a tool started)."""

    def __init__(self):
        self.x11 = ctypes.CDLL("libX11.so.6")
        self.xtst = ctypes.CDLL("libXtst.so.6")
        self.x11.XOpenDisplay.restype = ctypes.c_void_p
        self.x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
        self.x11.XStringToKeysym.restype = ctypes.c_ulong
        self.x11.XStringToKeysym.argtypes = [ctypes.c_char_p]
        self.x11.XKeysymToKeycode.restype = ctypes.c_ubyte
        self.x11.XKeysymToKeycode.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
        self.x11.XFlush.argtypes = [ctypes.c_void_p]
        self.x11.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
        self.xtst.XTestFakeKeyEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int,
                                                ctypes.c_ulong]
        self.xtst.XTestFakeButtonEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int,
                                                   ctypes.c_ulong]
        self.xtst.XTestFakeMotionEvent.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int,
                                                   ctypes.c_int, ctypes.c_ulong]
        self.display = self.x11.XOpenDisplay(None)
        if not self.display:
            raise RuntimeError("cannot open the X display")

    def key(self, keysym_name):
        code = self.x11.XKeysymToKeycode(self.display,
                                         self.x11.XStringToKeysym(keysym_name.encode()))
        self.xtst.XTestFakeKeyEvent(self.display, code, 1, 0)
        self.xtst.XTestFakeKeyEvent(self.display, code, 0, 0)
        self.x11.XSync(self.display, 0)

    def click(self, x, y):
        self.xtst.XTestFakeMotionEvent(self.display, -1, x, y, 0)
        self.xtst.XTestFakeButtonEvent(self.display, 1, 1, 0)
        self.xtst.XTestFakeButtonEvent(self.display, 1, 0, 0)
        self.x11.XSync(self.display, 0)


def focus_window(title=DIALOG_TITLE):
    """Gives the X input focus to the window titled `title` (no window manager runs here)."""
    wid = subprocess.run(["xdotool", "search", "--name", "^%s$" % title.replace(".", "\\.")],
                         capture_output=True, text=True).stdout.split()
    if not wid:
        raise RuntimeError("no X window titled %r" % title)
    subprocess.run(["xdotool", "windowfocus", "--sync", wid[0]], check=True)
