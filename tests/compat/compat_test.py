#!/usr/bin/python3
"""The programs people read in, from Debian's packages, against the built program: in each, a selection
made as a person makes it, then Alt+E (X11: the program's grab; sway: its binding of "ulvo --explain").
Each row checks that exactly the selected text reached a chat-completions provider on loopback, that the
CLIPBOARD kept its value and that a program in a terminal was neither interrupted nor sent keys.

Usage, inside scripts/private-session (sway: --wayland, with ULVO_SESSION_PROGRAM=BUILD/bin/ulvo):
    compat_test.py --build BUILD_DIR [--wayland] [--only NAME,...]
"""

import argparse
import contextlib
import json
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

WORD = "Pneumonoultramicroscopicsilicovolcanoconiosis"
LINES = 16
CLOSING = "Plants turn light into sugar, and the leaf keeps the water."
DOCUMENT = "\n".join([WORD] * LINES + [CLOSING]) + "\n"
TITLE = "compat-text"
ANSWER = "A loopback explanation."
TERMINAL_CHILD = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fixtures", "terminal_child.py")
PAGE = (
    "<!doctype html><html><head><meta charset='utf-8'><title>%s</title><style>"
    "body{margin:0;padding:16px 40px;font:22px/30px sans-serif;background:#fff;color:#000}p{margin:0}"
    "</style></head><body>%s<p>Plants turn <b>light</b> into <a href='#leaf'>sugar</a>, and the leaf keeps"
    " the water.</p></body></html>" % (TITLE, "".join("<p>%s</p>" % WORD for _ in range(LINES)))
)


def words(text):
    return " ".join(text.split())


class Provider:
    """A chat-completions peer on loopback that records the user's text of every request, and serves the
    browsers' page."""

    def __init__(self):
        self.requests = []  # (monotonic time, user text), appended by the server's threads
        provider = self

        class Handler(BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def do_GET(self):
                data = PAGE.encode()
                self.send_response(200 if self.path == "/page.html" else 404)
                self.send_header("Content-Type", "text/html; charset=utf-8")
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

            def do_POST(self):
                body = json.loads(self.rfile.read(int(self.headers.get("Content-Length", "0"))) or b"{}")
                messages = body.get("messages") or [{}, {}]
                provider.requests.append((time.monotonic(), messages[-1].get("content", "")))
                self.send_response(200)
                self.send_header("Content-Type", "text/event-stream")
                self.end_headers()
                event = {"choices": [{"index": 0, "delta": {"content": ANSWER}}]}
                self.wfile.write(f"data: {json.dumps(event)}\n\ndata: [DONE]\n\n".encode())

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.port = self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def after(self, index, limit):
        """The first request after the first `index` ones, or None after `limit` seconds."""
        return wait_until(lambda: self.requests[index] if len(self.requests) > index else None, limit, 0.02)


def run(argv, timeout=10, **kwargs):
    """The command's result; one that hangs (xdotool waiting for a window that never maps) counts as failed."""
    try:
        return subprocess.run(argv, capture_output=True, text=True, timeout=timeout, **kwargs)
    except subprocess.TimeoutExpired:
        return subprocess.CompletedProcess(argv, -1, "", "timed out")


def wait_until(predicate, limit, step=0.1):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    return None


class X11:
    name = "x11"

    def set_clipboard(self, text):
        # xclip stays in the background as the owner until another program takes the selection.
        subprocess.run(["xclip", "-selection", "clipboard", "-i"], input=text.encode(), timeout=10,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def selection(self, which):
        result = run(["xclip", "-selection", which, "-o"], timeout=5)
        return result.stdout if result.returncode == 0 else None

    def find_window(self, pattern, limit):
        def found():
            ids = run(["xdotool", "search", "--onlyvisible", "--name", pattern]).stdout.split()
            return ids[-1] if ids else None
        return wait_until(found, limit, 0.25)

    def geometry(self, window):
        info = dict(line.strip().split(":", 1) for line in run(["xwininfo", "-id", window]).stdout.splitlines()
                    if ":" in line)
        keys = ("Absolute upper-left X", "Absolute upper-left Y", "Width", "Height")
        return tuple(int(info[k]) for k in keys) if all(k in info for k in keys) else (0, 0, 0, 0)

    def place(self, window, maximise):
        self.focus(window)
        if maximise:
            run(["xdotool", "windowmove", window, "0", "0", "windowsize", window, "1280", "900"])
            time.sleep(1)

    def focus(self, window):
        run(["xdotool", "windowactivate", window])
        wait_until(lambda: run(["xdotool", "getactivewindow"]).stdout.strip() == window, 3)

    def click(self, x, y, count):
        run(["xdotool", "mousemove", "--sync", str(x), str(y)])
        time.sleep(0.3)  # a press right after a move can count as a drag in some toolkits
        run(["xdotool", "click", "--repeat", str(count), "--delay", "90", "1"])

    def keys(self, *combos):
        run(["xdotool", "key", "--delay", "60", *combos])

    def alt_e(self):
        run(["xdotool", "key", "alt+e"])

    def card_windows(self, program_pid):
        # --all: xdotool otherwise matches any window whose name matches, whoever owns it.
        found = run(["xdotool", "search", "--all", "--onlyvisible", "--pid", str(program_pid), "--name", ""])
        return [w for w in found.stdout.split() if self.geometry(w)[2] >= 200]

    def close_card(self, program_pid):
        # A key event sent to the card's window alone, so no key ever reaches the program under test.
        for combo in ("ctrl+h", "Escape"):
            for card in self.card_windows(program_pid):
                run(["xdotool", "key", "--window", card, combo])
            if wait_until(lambda: not self.card_windows(program_pid), 2):
                break


class Sway:
    name = "sway"

    def set_clipboard(self, text):
        subprocess.run(["wl-copy", text], timeout=10, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def selection(self, which):
        result = run(["wl-paste", "-n"] + (["--primary"] if which == "primary" else []), timeout=5)
        return result.stdout if result.returncode == 0 else None

    def windows(self):
        tree = json.loads(run(["swaymsg", "-t", "get_tree"]).stdout)
        found = []

        def walk(node):
            if node.get("pid"):
                found.append(node)
            for child in node.get("nodes", []) + node.get("floating_nodes", []):
                walk(child)
        walk(tree)
        return found

    def find_window(self, pattern, limit):
        def found():
            for node in self.windows():
                if pattern in (node.get("name") or ""):
                    return str(node["id"])
            return None
        return wait_until(found, limit, 0.25)

    def geometry(self, window):
        for node in self.windows():
            if str(node["id"]) == window:
                rect, content = node["rect"], node["window_rect"]
                return rect["x"] + content["x"], rect["y"] + content["y"], content["width"], content["height"]
        raise RuntimeError("the window has gone")

    def place(self, window, maximise):
        self.focus(window)

    def focus(self, window):
        run(["swaymsg", f"[con_id={window}]", "focus"])

    devices = None

    def input(self, command):
        # The headless compositor has no pointer or keyboard: virtual ones, attached for the whole run.
        if self.devices is None:
            self.devices = subprocess.Popen(
                ["/usr/bin/python3", os.path.join(os.path.dirname(os.path.abspath(__file__)), "virtual_input.py"),
                 "1920", "1080"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
            said = self.devices.stdout.readline().strip()
            if said != "ready":
                raise RuntimeError(f"no virtual input devices: {said}")
        self.devices.stdin.write(command + "\n")
        self.devices.stdin.flush()
        self.devices.stdout.readline()

    def click(self, x, y, count):
        for command in (f"move {x} {y}", f"click 1 {count}"):
            self.input(command)
            time.sleep(0.3)  # a press right after a move can count as a drag in some toolkits

    def keys(self, *combos):
        for combo in combos:
            self.input(f"key {combo}")

    def alt_e(self):
        # sway's own binding of Alt+E runs "ulvo --explain".
        run(["wtype", "-M", "alt", "e", "-m", "alt"])

    def close_card(self, program_pid):
        # Left open, as a person leaves it to click back into the program: the next case then selects and
        # types there with the card showing. (A layer surface is not in sway's tree.)
        pass


class Program:
    def __init__(self, name, argv, click, cases, maximise=True, terminal=False, env=None, start=20):
        self.name, self.argv, self.click_at, self.cases = name, argv, click, cases
        self.maximise, self.terminal, self.env, self.start = maximise, terminal, env or {}, start


DOUBLE = ("double-click", WORD)
CTRL_A = ("Ctrl+A", DOCUMENT)
TRIPLE = ("triple-click", WORD)
VIM_ALL = ("ggVG (select all)", DOCUMENT)


def firefox_profile(scratch):
    profile = os.path.join(scratch, "firefox-profile")
    os.makedirs(profile, exist_ok=True)
    prefs = {"browser.shell.checkDefaultBrowser": False, "browser.startup.homepage_override.mstone": "ignore",
             "datareporting.policy.dataSubmissionEnabled": False, "toolkit.telemetry.reportingpolicy.firstRun": False,
             "app.normandy.enabled": False, "app.update.enabled": False, "browser.aboutwelcome.enabled": False,
             "network.captive-portal-service.enabled": False, "network.connectivity-service.enabled": False,
             "browser.safebrowsing.malware.enabled": False, "browser.safebrowsing.phishing.enabled": False}
    with open(os.path.join(profile, "user.js"), "w") as out:
        for key, value in prefs.items():
            out.write(f"user_pref({json.dumps(key)}, {json.dumps(value)});\n")
    return profile


def programs(session, scratch, url, text_file, recorder):
    """The programs of a session with the point to double-click, relative to the window's content."""
    terminal_child = ["/usr/bin/python3", TERMINAL_CHILD, recorder, text_file, TITLE]
    firefox = Program("firefox-esr", ["firefox-esr", "--no-remote", "--profile", firefox_profile(scratch),
                                      "--kiosk", url], (150, 16 + 30 * 6 + 15), [DOUBLE, CTRL_A], maximise=False,
                      start=40)
    mousepad = Program("mousepad", ["mousepad", text_file], (100, 260), [DOUBLE, CTRL_A])
    # Qt without QT_ACCESSIBILITY or QT_LINUX_ACCESSIBILITY_ALWAYS_ON, as a desktop starts it.
    featherpad = Program("featherpad", ["featherpad", text_file], (100, 260), [DOUBLE, CTRL_A],
                         env={"QT_LINUX_ACCESSIBILITY_ALWAYS_ON": None, "QT_ACCESSIBILITY": None,
                              "QT_QPA_PLATFORM": "wayland" if session == "sway" else "xcb"})
    if session == "sway":
        return [Program("foot", ["foot", "-T", TITLE, "-f", "monospace:size=14"] + terminal_child, (60, 20 + 26 * 4),
                        [DOUBLE, TRIPLE], terminal=True), mousepad, featherpad, firefox]
    chromium = ["/usr/lib/chromium/chromium", f"--user-data-dir={scratch}/chromium", "--kiosk", "--no-first-run",
                "--no-default-browser-check", "--disable-gpu", "--password-store=basic",
                "--disable-background-networking", "--disable-component-update", "--disable-sync", url]
    if os.geteuid() == 0:
        chromium.insert(1, "--no-sandbox")
    return [
        firefox,
        Program("chromium", chromium, (150, 16 + 30 * 6 + 15), [DOUBLE, CTRL_A], maximise=False, start=40),
        # LibreOffice picks its GTK 3 face, with accessibility, where a GTK desktop runs; openbox alone
        # would give it its bare X11 one.
        Program("libreoffice-writer", ["lowriter", "--norestore", "--nologo", text_file], (700, 330),
                [DOUBLE, CTRL_A], maximise=False, env={"SAL_USE_VCLPLUGIN": "gtk3"}, start=60),
        mousepad,
        Program("gnome-text-editor", ["gnome-text-editor", "--standalone", text_file], (120, 260), [DOUBLE, CTRL_A]),
        featherpad,
        Program("xterm", ["xterm", "-T", TITLE, "-geometry", "60x20", "-fa", "Monospace", "-fs", "14", "-e"]
                + terminal_child, (60, 2 + 17 * 4 + 8), [DOUBLE, TRIPLE], maximise=False, terminal=True),
        Program("rxvt-unicode", ["urxvt", "-title", TITLE, "-geometry", "60x20", "-fn", "xft:Monospace:pixelsize=18",
                                 "-e"] + terminal_child, (60, 2 + 21 * 4 + 10), [DOUBLE, TRIPLE], maximise=False,
                terminal=True),
        # gnome-terminal-server refuses a locale that is not UTF-8.
        Program("gnome-terminal", ["gnome-terminal", "--wait", "--geometry=60x20", "--"] + terminal_child,
                (60, 40 + 17 * 4 + 8), [DOUBLE, TRIPLE], maximise=False, terminal=True,
                env={"LANG": "C.UTF-8"}),
        Program("gvim", ["gvim", "-f", "-U", "NONE", "-i", "NONE", text_file], (100, 200), [DOUBLE, VIM_ALL]),
    ]


class Suite:
    def __init__(self, args, session):
        self.args, self.session = args, session
        self.rows = []
        self.scratch = tempfile.mkdtemp(prefix="ulvo-compat-")
        self.provider = Provider()
        self.program = os.path.join(args.build, "bin", "ulvo")
        self.ulvo = None

    def configure(self):
        config = os.path.join(os.environ.get("XDG_CONFIG_HOME", os.path.expanduser("~/.config")), "ulvo")
        os.makedirs(config, exist_ok=True)
        with open(os.path.join(config, "preferences.ini"), "w") as out:
            out.write(f"[ulvo]\nmodelProvider=custom\nmodelBaseURL=http://127.0.0.1:{self.provider.port}/v1\n"
                      "modelName=compat-model\n")
        subprocess.run(["secret-tool", "store", "--label=ULVO compat key", "service", "com.zvk.ULVO.api-keys",
                        "account", "custom"], input=b"sk-compat", check=True, timeout=20)

    @staticmethod
    def bus_name_owned():
        return "true" in run(["gdbus", "call", "--session", "--dest", "org.freedesktop.DBus", "--object-path",
                              "/org/freedesktop/DBus", "--method", "org.freedesktop.DBus.NameHasOwner",
                              "com.zvk.ULVO"]).stdout

    def start_ulvo(self):
        """Starts the program; returns once it owns its name on the session bus."""
        self.ulvo = subprocess.Popen([self.program], stdout=subprocess.DEVNULL,
                                     stderr=open(os.path.join(self.scratch, "ulvo.log"), "a"))
        if not wait_until(self.bus_name_owned, 20):
            raise RuntimeError("the program did not start")
        time.sleep(1)  # its hot keys and monitors are set up right after

    def stop_ulvo(self):
        if self.ulvo:
            self.ulvo.terminate()
            try:
                self.ulvo.wait(timeout=15)
            except subprocess.TimeoutExpired:
                self.ulvo.kill()
                self.ulvo.wait()
            self.ulvo = None
            wait_until(lambda: not self.bus_name_owned(), 10)

    def row(self, program, case, result, detail=""):
        self.rows.append((program, self.session.name, case, result, detail))
        print(f"{program:<20} {self.session.name:<5} {case:<18} {result:<5} {detail}", flush=True)

    def every_case(self, program, result, detail):
        for case, _ in program.cases:
            self.row(program.name, case, result, detail)

    def run(self):
        text_file = os.path.join(self.scratch, TITLE + ".txt")
        pathlib.Path(text_file).write_text(DOCUMENT)
        recorder = os.path.join(self.scratch, "terminal.log")
        url = f"http://127.0.0.1:{self.provider.port}/page.html"
        self.configure()
        wayland = self.session.name == "sway"
        if wayland:
            if "--explain" not in run(["swaymsg", "-t", "get_config"]).stdout:
                raise RuntimeError("sway binds no \"ulvo --explain\": set ULVO_SESSION_PROGRAM for private-session")
        else:
            self.start_ulvo()
        only = set(self.args.only.split(",")) if self.args.only else None
        for program in programs(self.session.name, self.scratch, url, text_file, recorder):
            if only and program.name not in only:
                continue
            if wayland:
                # A fresh start per program: the first case measures the first card after start.
                self.start_ulvo()
            self.exercise(program, recorder)
            if wayland:
                self.stop_ulvo()
        self.stop_ulvo()

    def exercise(self, program, recorder):
        executable = shutil.which(program.argv[0])
        if not executable:
            return self.every_case(program, "SKIP", f"{program.argv[0]} is not installed")
        env = {key: value for key, value in {**os.environ, **program.env}.items() if value is not None}
        if os.path.exists(recorder):
            os.remove(recorder)
        log = open(os.path.join(self.scratch, program.name + ".log"), "w")
        process = subprocess.Popen(program.argv, env=env, stdout=log, stderr=subprocess.STDOUT,
                                   start_new_session=True, cwd=self.scratch)
        try:
            window = self.session.find_window(TITLE, program.start)
            if not window:
                reason = f"no window titled {TITLE!r} within {program.start} s"
                if process.poll() is not None:
                    reason = f"exited with status {process.returncode} without a window"
                return self.every_case(program, "FAIL", reason)
            if program.terminal and not wait_until(lambda: os.path.exists(recorder), 10):
                return self.every_case(program, "FAIL", "the program in the terminal did not start")
            self.session.place(window, program.maximise)
            time.sleep(3 if program.start > 20 else 1.5)  # the page or document is laid out
            for number, (case, expected) in enumerate(program.cases):
                self.case(program, window, number, case, expected, recorder)
        finally:
            if program.terminal and os.path.exists(recorder):
                # gnome-terminal's window belongs to its server: it closes when the program in it ends.
                for line in open(recorder).read().splitlines():
                    if line.startswith("ready "):
                        with contextlib.suppress(ProcessLookupError):
                            os.kill(int(line.split()[1]), signal.SIGKILL)
            for number in (signal.SIGTERM, signal.SIGKILL):
                try:
                    os.killpg(process.pid, number)
                    process.wait(timeout=10)
                    break
                except (ProcessLookupError, subprocess.TimeoutExpired):
                    pass
            process.wait()
            # A program's own processes may outlive the one started (LibreOffice's soffice.bin): the next
            # program's window must not be confused with a window still closing.
            wait_until(lambda: not self.session.find_window(TITLE, 0.1), 20)
            log.close()

    def select(self, program, window, case):
        x, y, _, _ = self.session.geometry(window)
        point = (x + program.click_at[0], y + program.click_at[1])
        self.clicked = point
        self.session.focus(window)
        self.session.click(*point, {"double-click": 2, "triple-click": 3}.get(case, 1))
        if case == "Ctrl+A":
            self.session.keys("ctrl+a")
        elif case == VIM_ALL[0]:  # to Normal mode, then from the first line to the last one
            self.session.keys("Escape")
            time.sleep(0.5)  # vim takes a lone Escape as the start of a key sequence for a moment
            self.session.keys("g", "g", "shift+v", "shift+g")
        time.sleep(0.5)

    def press(self):
        """Alt+E; the user's text the provider then got and how long after the press, or (None, None)."""
        asked = len(self.provider.requests)
        pressed = time.monotonic()
        self.session.alt_e()
        got = self.provider.after(asked, 10)
        return (got[1], (got[0] - pressed) * 1000) if got else (None, None)

    def case(self, program, window, number, case, expected, recorder):
        if self.ulvo.poll() is not None:
            # Said once in its row, then started again so the remaining rows still say something.
            status = self.ulvo.returncode
            self.row("ulvo", "running", "FAIL", f"exited with status {status} before {program.name} {case}")
            self.start_ulvo()
        clipboard = f"compat clipboard {program.name} {number}"
        self.session.set_clipboard(clipboard)
        self.select(program, window, case)
        primary = self.session.selection("primary")
        text, elapsed = self.press()
        time.sleep(0.5)
        problems = []
        if text is None:
            problems.append("the provider got no request")
        elif "\ufffc" in text:
            problems.append("U+FFFC sent")
        if text is not None and (words(text) != words(expected) if expected == DOCUMENT else text.strip() != expected):
            problems.append(f"sent {text[:120]!r}{'...' if len(text) > 120 else ''}")
        after = self.session.selection("clipboard")
        if after != clipboard:
            problems.append(f"CLIPBOARD changed to {after!r}")
        if program.terminal:
            log = open(recorder).read() if os.path.exists(recorder) else ""
            stray = [line for line in log.splitlines() if not line.startswith("ready")]
            if stray:
                problems.append("the terminal's program got " + ", ".join(stray))
        if problems and primary is not None and words(primary) != words(text or ""):
            problems.append(f"PRIMARY held {primary[:60]!r}")
        self.session.close_card(self.ulvo.pid)
        if problems:
            problems.append(f"selected at {self.clicked}")
        self.row(program.name, case, "FAIL" if problems else "PASS", "; ".join(problems) or f"{elapsed:.0f} ms")

    def report(self):
        failed = [row for row in self.rows if row[3] == "FAIL"]
        print(f"{len(self.rows) - len(failed)} of {len(self.rows)} rows pass in the {self.session.name} session")
        return 1 if failed else 0


def arguments():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--wayland", action="store_true", help="the sway session of scripts/private-session --wayland")
    parser.add_argument("--only", help="comma-separated program names")
    return parser


def main(make_suite=Suite, parser=None):
    args = (parser or arguments()).parse_args()
    args.build = os.path.abspath(args.build)
    if not os.access(os.path.join(args.build, "bin", "ulvo"), os.X_OK):
        print(f"no program at {args.build}/bin/ulvo", file=sys.stderr)
        return 2
    if args.wayland != bool(os.environ.get("SWAYSOCK")):
        print("run inside scripts/private-session" + (" --wayland" if args.wayland else ""), file=sys.stderr)
        return 2
    suite = make_suite(args, Sway() if args.wayland else X11())
    print(f"{'program':<20} {'session':<5} {'selection':<18} result", flush=True)
    try:
        suite.run()
    finally:
        suite.stop_ulvo()
        if getattr(suite.session, "devices", None):
            suite.session.devices.kill()
    status = suite.report()
    if status == 0:
        shutil.rmtree(suite.scratch, ignore_errors=True)
    else:
        print(f"the programs' output and the program's log: {suite.scratch}")
    return status


if __name__ == "__main__":
    sys.exit(main())
