#!/usr/bin/python3
"""User-interface latency of the real program, idle and under a dual flood. Started by
bench/ui_latency inside tests/window/atspi_session.sh (private X display and AT-SPI bus).

COM1 is linked to a pseudo-terminal whose master a writer floods at full speed; the network
side connects (address typed through AT-SPI) to a loopback listener that writes as fast as it
can. Measured `--samples` times idle and again spread over the flood:
  key:  an X key press (XTest) in the serial send line until the character is in the line;
  hex:  a click on Hex View until the serial console shows the other form ("0000 " first).
Both read through AT-SPI. Also prints the program's CPU use and resident memory.

With `--log` the traffic log runs through the whole flood: started as a user starts it (the
context menu's "Log Traffic..." entry, a file name typed into the save dialog), into the program's
folder; its size is printed at the end.

With `--minutes N` it soaks instead: both sides flooded with random bytes (fresh bytes for every
write, so that no pattern repeats) for N minutes, printing the program's resident memory every
minute as it goes, with the key samples spread over the whole flood."""

import argparse
import os
import socket
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "window"))
import atspi_util as au  # noqa: E402

CONNECTED = " Connected : COM1,57600,8bit,1bit,none,none"
LINE = b"The quick brown fox jumps over the lazy dog 0123456789\r\n"

# A writer that floods one descriptor at full speed until its deadline, reading and dropping
# whatever comes back so that neither side ever stalls on a full buffer. Prints bytes written.
# A third argument "random" writes fresh random bytes each time instead of the text line.
FLOOD = r"""
import os, select, sys, time
fd, end = int(sys.argv[1]), time.monotonic() + float(sys.argv[2])
rand = len(sys.argv) > 3 and sys.argv[3] == "random"
os.set_blocking(fd, False)
line = (%r * 300)[:16384]
chunk = os.urandom(16384) if rand else line
sent = 0
while time.monotonic() < end:
    r, w, _ = select.select([fd], [fd], [], 0.1)
    if r:
        try:
            if not os.read(fd, 65536):
                break
        except (BlockingIOError, InterruptedError):
            pass
        except OSError:
            break
    if w:
        try:
            sent += os.write(fd, chunk)
            if rand:
                chunk = os.urandom(16384)
        except (BlockingIOError, InterruptedError):
            pass
        except OSError:
            break
print(sent)
""" % LINE


def cpu_seconds(pid):
    fields = open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def rss_kb(pid):
    for line in open("/proc/%d/status" % pid):
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    return 0


def percentile(values, p):
    ordered = sorted(values)
    rank = max(1, -(-len(ordered) * p // 100))  # nearest rank
    return ordered[int(rank) - 1]


class Bench:
    def __init__(self, args):
        self.args = args
        self.program = au.Program(args.binary)
        self.pid = self.program.start()
        self.started = time.monotonic()
        self.app = au.find_application(self.pid)
        self.dialog = au.find_dialog(self.app)
        R = au.Atspi.Role
        where = {
            "IDC_EDIT_SEND": lambda: au.find(self.dialog, R.TEXT, "Serial send line"),
            "IDC_CHECK_HEXVIEW": lambda: au.find(self.dialog, R.CHECK_BOX, "Hex View", 0),
            "IDC_REDIT_SERIAL_DEBUG": lambda: au.find(self.dialog, R.TEXT, "Serial console"),
            "IDC_BUTTON_OPEN": lambda: au.find(self.dialog, R.PUSH_BUTTON, "Open"),
            "IDC_IP_ADDRESS": lambda: au.find(self.dialog, R.TEXT, "IP Address"),
            "IDC_EDIT_IP_PORT": lambda: au.find(self.dialog, R.TEXT, "Port"),
            "IDC_BUTTON_IP_CONNECT": lambda: au.find(self.dialog, R.PUSH_BUTTON, "Connect"),
        }
        self.ctl = {name: au.wait_for(look, 10, name) for name, look in where.items()}
        self.status = au.wait_for(lambda: au.find_described(self.dialog, "Status line"), 10,
                                  "the status line")
        self.xtest = au.XTest()
        self.memory = {}

    def press(self, name):
        au.press(self.ctl[name])

    def connect_both_sides(self):
        # Serial: Open with the default settings, COM1 being the pseudo-terminal.
        self.press("IDC_BUTTON_OPEN")
        au.wait_for(lambda: au.fresh_name(self.status) == CONNECTED, 10, "serial open")
        # Network: a loopback listener; the address and port typed into their fields.
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        port = self.listener.getsockname()[1]
        for name, text in (("IDC_IP_ADDRESS", "127.0.0.1"), ("IDC_EDIT_IP_PORT", str(port))):
            au.Atspi.EditableText.set_text_contents(self.ctl[name], text)
            au.wait_for(lambda n=name, t=text: au.text_of(self.ctl[n]) == t, 5, name)
        self.press("IDC_BUTTON_IP_CONNECT")
        self.listener.settimeout(10)
        self.peer, _ = self.listener.accept()
        au.wait_for(lambda: "127.0.0.1" in au.fresh_name(self.status), 10, "network connected")
        # Some text in both consoles, so that the idle Hex View toggle has something to show.
        os.write(self.program.master, LINE * 4)
        self.peer.sendall(LINE * 4)
        console = self.ctl["IDC_REDIT_SERIAL_DEBUG"]
        au.wait_for(lambda: au.text_of(console, 0, 5).startswith("The q"), 10,
                    "the serial console to show the first line")

    def start_traffic_log(self):
        """Right-click on the status line, "Log Traffic..." chosen with the keys, the log's path
        typed into the save dialog and Enter; waits until the log file exists."""
        self.log_path = os.path.join(self.program.dir, "ui_latency_traffic.log")
        x, y = au.screen_center(self.status)
        xt = self.xtest
        xt.xtst.XTestFakeMotionEvent(xt.display, -1, x, y, 0)
        xt.xtst.XTestFakeButtonEvent(xt.display, 3, 1, 0)
        xt.xtst.XTestFakeButtonEvent(xt.display, 3, 0, 0)
        xt.x11.XSync(xt.display, 0)

        # The open menu is not on the AT-SPI bus: its keys pick the entry, the fifth from the
        # bottom ("Log Traffic...", above the three send entries and the about entry).
        au.pump(0.5)
        subprocess.run(["xdotool", "key", "--delay", "50"] + ["Up"] * 5 + ["Return"], check=True)
        wid = au.wait_for(lambda: subprocess.run(
            ["xdotool", "search", "--onlyvisible", "--name", "^Save"], capture_output=True,
            text=True).stdout.split(), 10, "the save dialog")
        subprocess.run(["xdotool", "windowfocus", "--sync", wid[0]], check=True)
        subprocess.run(["xdotool", "key", "ctrl+a"], check=True)
        subprocess.run(["xdotool", "type", "--delay", "2", self.log_path], check=True)
        subprocess.run(["xdotool", "key", "Return"], check=True)
        au.wait_for(lambda: os.path.exists(self.log_path), 10, "the traffic log file")
        au.focus_window()

    def sample_memory(self, label):
        self.memory[label] = rss_kb(self.pid)

    def check_memory_clock(self):
        if "30 s" not in self.memory and time.monotonic() - self.started >= 30:
            self.sample_memory("30 s")

    def key_latency(self, keysym="a"):
        line = self.ctl["IDC_EDIT_SEND"]
        if au.char_count(line) > 200:
            au.Atspi.EditableText.set_text_contents(line, "")
        # The line must hold the keyboard focus (a Hex View click takes it away).
        au.Atspi.Component.grab_focus(line)
        au.wait_for(lambda: line.get_state_set().contains(au.Atspi.StateType.FOCUSED), 5,
                    "focus in the send line", step=0.001)
        before = au.char_count(line)
        start = time.perf_counter()
        self.xtest.key(keysym)
        au.wait_for(lambda: au.char_count(line) == before + 1, 5,
                    "the typed character", step=0)
        return (time.perf_counter() - start) * 1000

    def hex_latency(self):
        console = self.ctl["IDC_REDIT_SERIAL_DEBUG"]
        hexed = au.text_of(console, 0, 5) == "0000 "
        x, y = au.screen_center(self.ctl["IDC_CHECK_HEXVIEW"])
        start = time.perf_counter()
        self.xtest.click(x, y)
        au.wait_for(lambda: (au.text_of(console, 0, 5) == "0000 ") != hexed, 10,
                    "the console in the other form", step=0)
        return (time.perf_counter() - start) * 1000

    def measure(self, samples, spread_over):
        keys, hexes = [], []
        gap = spread_over / samples if spread_over else 0.1
        for i in range(samples):
            due = time.monotonic() + gap
            keys.append(self.key_latency("abcdefghijklmnopqrstuvwxyz"[i % 26]))
            hexes.append(self.hex_latency())
            self.check_memory_clock()
            while time.monotonic() < due:
                au.pump(min(0.05, max(0, due - time.monotonic())))
                self.check_memory_clock()
        # Leave the console in its text form.
        if au.text_of(self.ctl["IDC_REDIT_SERIAL_DEBUG"], 0, 5) == "0000 ":
            self.hex_latency()
        return keys, hexes

    def flood(self, fd, seconds, random_bytes=False):
        return subprocess.Popen([sys.executable, "-c", FLOOD, str(fd), str(seconds)] +
                                (["random"] if random_bytes else []),
                                pass_fds=[fd], stdout=subprocess.PIPE, text=True)

    def soak(self):
        """Random dual flood for --minutes: resident memory every minute (and at 15 s), printed
        as it is taken; key latency sampled evenly over the whole flood."""
        args = self.args
        self.connect_both_sides()
        au.focus_window()
        seconds = args.minutes * 60.0
        rss0 = rss_kb(self.pid)
        print("random dual flood for %d min; resident memory at start %d kB" % (args.minutes,
                                                                                  rss0), flush=True)
        print("%8s %10s %10s %12s" % ("minute", "RSS kB", "growth kB", "CPU % 1 core"),
              flush=True)
        writers = [self.flood(self.program.master, seconds + 1, True),
                   self.flood(self.peer.fileno(), seconds + 1, True)]
        t0 = time.monotonic()
        cpu_last, t_last = cpu_seconds(self.pid), t0
        gap = seconds / args.samples
        next_key, next_mark, minute = t0 + gap / 2, t0 + 15, 0
        rows, keys = [], []
        while True:
            now = time.monotonic()
            if now >= next_mark:
                rss, cpu = rss_kb(self.pid), cpu_seconds(self.pid)
                label = "0:15" if minute == 0 else "%d" % minute
                rows.append((minute, rss))
                print("%8s %10d %+10d %12.0f" % (label, rss, rss - rss0,
                                                 100 * (cpu - cpu_last) / (now - t_last)),
                      flush=True)
                cpu_last, t_last = cpu, now
                minute += 1
                if minute > args.minutes:
                    break
                next_mark = t0 + 60 * minute
            elif now >= next_key:
                keys.append(self.key_latency("abcdefghijklmnopqrstuvwxyz"[len(keys) % 26]))
                next_key += gap
            else:
                au.pump(min(0.05, max(0, min(next_key, next_mark) - now)))
        sent = [int(w.communicate()[0].strip() or 0) for w in writers]
        print("flood written: serial %.1f MiB, network %.1f MiB" % (sent[0] / 2**20,
                                                                   sent[1] / 2**20))
        print("key -> send line, random dual flood: p50 %.1f ms, p99 %.1f ms, max %.1f ms "
              "(%d samples)" % (percentile(keys, 50), percentile(keys, 99), max(keys), len(keys)))
        by_minute = dict(rows)
        if args.minutes > 2:
            late = by_minute[args.minutes] - by_minute[2]
            print("growth after minute 2: %+d kB over %d min; aim < 2 MB: %s" % (
                late, args.minutes - 2, "met" if late < 2048 else "NOT met"))

    def run(self):
        args = self.args
        self.connect_both_sides()
        if args.log:
            self.start_traffic_log()
        au.focus_window()
        self.sample_memory("start")
        cpu0, t0 = cpu_seconds(self.pid), time.monotonic()
        idle = self.measure(args.samples, 0)
        cpu1, t1 = cpu_seconds(self.pid), time.monotonic()

        flood_seconds = max(5.0, args.seconds - (t1 - self.started))
        writers = [self.flood(self.program.master, flood_seconds + 1),
                   self.flood(self.peer.fileno(), flood_seconds + 1)]
        au.pump(0.5)  # let both floods reach full speed
        cpu2, t2 = cpu_seconds(self.pid), time.monotonic()
        flood = self.measure(args.samples, max(0.0, flood_seconds - 1.0))
        cpu3, t3 = cpu_seconds(self.pid), time.monotonic()
        sent = [int(w.communicate()[0].strip() or 0) for w in writers]
        self.check_memory_clock()
        self.sample_memory("end")

        print("Vaskel UI latency through AT-SPI, %d samples each, run %.0f s "
              "(idle %.1f s, dual flood %.1f s)" % (args.samples, time.monotonic() - self.started,
                                                     t1 - t0, t3 - t2))
        print("%-34s %8s %8s %8s" % ("", "p50 ms", "p99 ms", "max ms"))
        for label, values in (("key -> send line, idle", idle[0]),
                              ("key -> send line, dual flood", flood[0]),
                              ("Hex View -> console, idle", idle[1]),
                              ("Hex View -> console, dual flood", flood[1])):
            print("%-34s %8.1f %8.1f %8.1f" % (label, percentile(values, 50),
                                                percentile(values, 99), max(values)))
        print("flood written: serial %.1f MiB, network %.1f MiB (%.2f / %.2f MiB/s)" % (
            sent[0] / 2**20, sent[1] / 2**20, sent[0] / 2**20 / flood_seconds,
            sent[1] / 2**20 / flood_seconds))
        print("program CPU: idle %.0f %%, dual flood %.0f %% (of one core)" % (
            100 * (cpu1 - cpu0) / (t1 - t0), 100 * (cpu3 - cpu2) / (t3 - t2)))
        print("resident memory: start %d kB, 30 s %s kB, end %d kB, growth %+d kB" % (
            self.memory["start"], self.memory.get("30 s", "n/a"), self.memory["end"],
            self.memory["end"] - self.memory["start"]))
        if args.log:
            print("traffic log on: %.1f MiB written to %s" % (
                os.path.getsize(self.log_path) / 2**20, os.path.basename(self.log_path)))
        worst = max(percentile(flood[0], 99), percentile(flood[1], 99))
        growth = self.memory["end"] - self.memory["start"]
        print("aim: p99 under flood < 50 ms: %s (%.1f ms); memory growth < 2 MB: %s (%d kB)" % (
            "met" if worst < 50 else "NOT met", worst,
            "met" if growth < 2048 else "NOT met", growth))

    def close(self):
        for attr in ("peer", "listener"):
            if hasattr(self, attr):
                getattr(self, attr).close()
        self.program.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--samples", type=int, default=50)
    parser.add_argument("--minutes", type=int, default=0,
                        help="soak under a random dual flood, memory every minute")
    parser.add_argument("--log", action="store_true",
                        help="run the traffic log (started from the context menu) all along")
    parser.add_argument("--binary", required=True)
    args = parser.parse_args()
    bench = Bench(args)
    try:
        bench.soak() if args.minutes > 0 else bench.run()
    finally:
        bench.close()


if __name__ == "__main__":
    main()
