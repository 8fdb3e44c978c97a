#!/usr/bin/env python3
"""A real browser with the extension's test build: select text in a page on loopback, trigger the
extension, and check what the card in the page shows. The manifests come from the installer, the
answers from the real ulvo-runtime-host, configured for the custom provider, which is a chat-completions
peer in this script; the browser reaching it proves the manifests name the host and the extension's id.
Runs inside scripts/private-session (keyring, D-Bus, DISPLAY).

--key-presses N: instead, N fresh profiles of a browser with a window, each pressing the command's key
once, as a person does, in a page that also holds a frame from another origin.
"""

import argparse
import contextlib
import functools
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

SELECTED = "Photosynthesis turns light into sugar."
QUESTION = "Why sugar?"
FIRST_ANSWER = "Plants use light to make their food."
DEEPER_ANSWER = "Chloroplasts convert photons into chemical energy."
FOLLOWUP_ANSWER = "Sugar stores the energy for later."
PROVIDER_ERROR = "The provider has a problem right now. Try again later. (The provider says: down)"
# The host process tests store the same key: they may run at the same time in the same keyring.
API_KEY = "sk-ulvo-browser-test"
MODEL = "browser-model"

PAGE = """<!doctype html>
<html><head><meta charset="utf-8"><title>ULVO test page</title>
<style>
  p { color: rgb(255, 0, 0) !important; font-size: 40px; }
</style></head>
<body><p id="t">%s</p>
<!--frame-->
<script>
const events = { explain: "ulvo-test-explain", level: "ulvo-test-level", followup: "ulvo-test-followup" };
async function loop() {
  for (;;) {
    const state = document.documentElement.dataset.ulvoTestState || "null";
    try {
      const response = await fetch("/poll", { method: "POST", body: state });
      const command = await response.json();
      if (command) {
        if (command.action === "explain" || command.action === "select") getSelection().selectAllChildren(document.getElementById("t"));
        if (events[command.action]) document.dispatchEvent(new CustomEvent(events[command.action], { detail: String(command.value ?? "") }));
      }
    } catch (error) {}
    await new Promise((resolve) => setTimeout(resolve, 100));
  }
}
loop();
</script></body></html>""" % SELECTED


class Peer:
    """The test's loopback web server: the page, the page's poll channel and the chat-completions peer."""

    def __init__(self, with_frame=False):
        self.lock = threading.Lock()
        self.state = None
        self.commands = []
        self.chats = []
        self.prompts = []
        self.failing = False
        peer = self

        class Handler(BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def reply(self, status, body, kind="application/json"):
                data = body.encode()
                self.send_response(status)
                self.send_header("Content-Type", kind)
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

            def do_GET(self):
                if self.path == "/page.html":
                    self.reply(200, PAGE.replace("<!--frame-->", peer.frame), "text/html; charset=utf-8")
                elif self.path == "/frame.html":
                    self.reply(200, "<!doctype html><p>An advertisement</p>", "text/html; charset=utf-8")
                else:
                    self.reply(404, "{}")

            def do_POST(self):
                body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
                if self.path == "/poll":
                    with peer.lock:
                        peer.state = json.loads(body or b"null")
                        command = peer.commands.pop(0) if peer.commands else None
                    self.reply(200, json.dumps(command))
                elif self.path == "/v1/chat/completions":
                    request = json.loads(body)
                    with peer.lock:
                        peer.chats.append(request)
                        failing = peer.failing
                        # Each level band has its own prompt: the first band asked gets the first answer.
                        system = request["messages"][0]["content"]
                        if system not in peer.prompts:
                            peer.prompts.append(system)
                        band = peer.prompts.index(system)
                    if failing:
                        self.reply(500, '{"error": "down"}')
                        return
                    user = request["messages"][1]["content"]
                    content = FOLLOWUP_ANSWER if user == QUESTION else (FIRST_ANSWER if band == 0 else DEEPER_ANSWER)
                    # As a provider streams: the answer in two pieces, a pause before each.
                    self.send_response(200)
                    self.send_header("Content-Type", "text/event-stream")
                    self.end_headers()
                    cut = content.index(" ", len(content) // 2)
                    for piece in (content[:cut], content[cut:]):
                        time.sleep(0.4)
                        event = {"choices": [{"index": 0, "delta": {"content": piece}}]}
                        self.wfile.write(f"data: {json.dumps(event)}\n\n".encode())
                        self.wfile.flush()
                    self.wfile.write(b'data: {"choices":[{"index":0,"delta":{},"finish_reason":"stop"}]}\n\n')
                    self.wfile.write(b"data: [DONE]\n\n")
                else:
                    self.reply(404, "{}")

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.port = self.server.server_address[1]
        # A frame from another origin (localhost is not 127.0.0.1), as pages with advertisements hold.
        self.frame = f'<iframe src="http://localhost:{self.port}/frame.html"></iframe>' if with_frame else ""
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def command(self, action, value=None):
        with self.lock:
            self.commands.append({"action": action, "value": value})

    def shown(self):
        with self.lock:
            return self.state

    def close(self):
        self.server.shutdown()
        self.server.server_close()


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def wait_for(peer, what, predicate, limit):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        state = peer.shown()
        if state and predicate(state):
            return state
        time.sleep(0.05)
    raise Failure(f"timed out after {limit} s waiting for {what}; the page shows {peer.shown()!r}")


def chromium_command(build, home, url, headless=True):
    extension = build / "tests" / "extension" / "chromium"
    return ["/usr/lib/chromium/chromium", *(["--headless=new"] if headless else []),
            *(["--no-sandbox"] if os.geteuid() == 0 else []),
            # Per-user host manifests are read from <user-data-dir>/NativeMessagingHosts.
            f"--user-data-dir={home}/.config/chromium",
            f"--load-extension={extension}", f"--disable-extensions-except={extension}",
            "--disable-background-networking", "--disable-component-update", "--disable-sync",
            "--no-first-run", "--no-default-browser-check", "--disable-gpu", "--password-store=basic", url]


def firefox_command(build, home, url):
    profile = home / "firefox-profile"
    (profile / "extensions").mkdir(parents=True)
    shutil.copy(build / "tests" / "extension" / "ulvo-firefox.xpi",
                profile / "extensions" / "ulvo-extension@zvk.xpi")
    # The unsigned test add-on is enabled from the profile; updates, telemetry and network checks stay off.
    prefs = {"xpinstall.signatures.required": False, "extensions.autoDisableScopes": 0,
             "extensions.enabledScopes": 15, "extensions.update.enabled": False, "app.update.enabled": False,
             "browser.shell.checkDefaultBrowser": False, "browser.startup.homepage_override.mstone": "ignore",
             "datareporting.policy.dataSubmissionEnabled": False, "app.normandy.enabled": False,
             "toolkit.telemetry.reportingpolicy.firstRun": False, "browser.safebrowsing.malware.enabled": False,
             "browser.safebrowsing.phishing.enabled": False, "network.captive-portal-service.enabled": False,
             "network.connectivity-service.enabled": False}
    (profile / "user.js").write_text("".join(f"user_pref({json.dumps(name)}, {json.dumps(value)});\n"
                                             for name, value in prefs.items()))
    return ["firefox-esr", "--headless", "--no-remote", "--profile", profile, url]


@contextlib.contextmanager
def session(args, command, with_frame=False):
    """A scratch home with the provider configured and the manifests installed, the peer, and a browser
    started with command(build, home, url); gives the peer, the browser's output and when it started."""
    with (tempfile.TemporaryDirectory(prefix="ulvo-browser-", ignore_cleanup_errors=True) as scratch,
          contextlib.closing(Peer(with_frame)) as peer):
        home = pathlib.Path(scratch)
        env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=home / ".config", XDG_CACHE_HOME=home / ".cache",
                   XDG_DATA_HOME=home / ".local" / "share")
        (home / ".config" / "ulvo").mkdir(parents=True)
        (home / ".config" / "ulvo" / "preferences.ini").write_text(
            f"[ulvo]\nmodelProvider=custom\nmodelBaseURL=http://127.0.0.1:{peer.port}/v1\nmodelName={MODEL}\n")
        subprocess.run(["secret-tool", "store", "--label=ULVO custom key", "service", "com.zvk.ULVO.api-keys",
                        "account", "custom"], input=API_KEY.encode(), env=env, check=True, timeout=20)
        subprocess.run([args.build / "tests" / "install_native_hosts", args.build / "lib" / "ulvo" / "runtime",
                        home], check=True, timeout=20)
        with open(home / "browser.log", "w+") as log:
            started = time.monotonic()
            browser = subprocess.Popen(command(args.build, home, f"http://127.0.0.1:{peer.port}/page.html"),
                                       env=env, stdout=log, stderr=subprocess.STDOUT, start_new_session=True)
            try:
                yield peer, log, started
            finally:
                with contextlib.suppress(ProcessLookupError, subprocess.TimeoutExpired):
                    os.killpg(browser.pid, signal.SIGTERM)
                    browser.wait(timeout=10)
                with contextlib.suppress(ProcessLookupError):  # what is left of the browser's process group
                    os.killpg(browser.pid, signal.SIGKILL)
                browser.wait()


def run(args):
    command = chromium_command if args.browser == "chromium" else firefox_command
    with session(args, command) as (peer, log, started):
        try:
            explain_in_page(args, peer, started)
            return 0
        except Failure as failure:
            log.seek(0)
            print(f"FAIL ({args.browser}): {failure}\n--- browser output (tail) ---\n{log.read()[-4000:]}",
                  file=sys.stderr)
            return 1


def explain_in_page(args, peer, started):
    """Explain, change the level, ask a follow-up and meet the provider's error, as the card shows them."""
    # A trigger dispatched before the extension's scripts run in the page is lost, so it is repeated
    # each second until the card is attached; repeats only ask the same question again.
    deadline = time.monotonic() + 60
    repeat = 0.0
    while not (peer.shown() or {}).get("attached"):
        check(time.monotonic() < deadline, "the extension never showed its card")
        with peer.lock:
            if not peer.commands and time.monotonic() >= repeat:
                peer.commands.append({"action": "explain", "value": None})
                repeat = time.monotonic() + 1.0
        time.sleep(0.05)
    state = wait_for(peer, "the first explanation", lambda s: s["answer"] == FIRST_ANSWER or s["error"], 60)
    check(state["answer"] == FIRST_ANSWER, f"the card shows {state['answer']!r}, error {state['error']!r}")
    print(f"first answer shown {time.monotonic() - started:.1f} s after the browser started")
    check(state["attached"] and state["shadowClosed"], "the card is not in a closed shadow root")
    check(state["level"] == 25 and state["error"] == "", f"unexpected card state {state}")
    check(state["pageColor"] == "rgb(255, 0, 0)", "the card's styles leak into the page")
    check(peer.chats[0]["messages"][1]["content"] == SELECTED, "the selected text was not sent")

    peer.command("level", 90)
    state = wait_for(peer, "the level-90 explanation", lambda s: s["answer"] == DEEPER_ANSWER, 30)
    check(peer.chats[-1]["messages"][1]["content"] == SELECTED, "the new level did not explain the same text")

    peer.command("followup", QUESTION)
    state = wait_for(peer, "the follow-up answer",
                     lambda s: s["followups"] and s["followups"][0]["answer"] == FOLLOWUP_ANSWER, 30)
    followup = peer.chats[-1]["messages"]
    check(followup[1]["content"] == QUESTION and SELECTED in followup[0]["content"]
          and "90" in followup[0]["content"], "the follow-up did not carry the text, question and level")

    with peer.lock:
        peer.failing = True
    peer.command("level", 10)
    wait_for(peer, "the provider's error", lambda s: s["error"] == PROVIDER_ERROR and s["answer"] == "", 30)
    print(f"{args.browser}: explanation, level, follow-up and error shown in the page")


def run_key_presses(args):
    """The command's key, pressed once in each of N fresh profiles once the page runs: the first press
    must show the card every time."""
    failures = []
    windowed = functools.partial(chromium_command, headless=False)
    for attempt in range(args.key_presses):
        with session(args, windowed, with_frame=True) as (peer, *_):
            peer.command("select")
            # Pressed once the extension runs in the page (its background answered), as a person sees it.
            wait_for(peer, "the extension to run in the page",
                     lambda s: not peer.commands and s.get("commands") is not None, 60)
            windows = subprocess.run(["xdotool", "search", "--sync", "--onlyvisible", "--class", "chromium"],
                                     capture_output=True, text=True, timeout=20).stdout.split()
            check(windows, "the browser shows no window")
            subprocess.run(["xdotool", "windowactivate", "--sync", windows[-1]], timeout=10)
            subprocess.run(["xdotool", "key", "--clearmodifiers", "alt+shift+k"], check=True, timeout=10)
            try:
                wait_for(peer, "the card", lambda s: s.get("attached"), 10)
            except Failure:
                failures.append(attempt)
    print(f"{args.browser}: Alt+Shift+K showed the card at the first press in "
          f"{args.key_presses - len(failures)} of {args.key_presses} fresh profiles")
    return 1 if failures else 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--browser", choices=["chromium", "firefox"], required=True)
    parser.add_argument("--build", required=True)
    parser.add_argument("--key-presses", type=int, default=0)
    args = parser.parse_args()
    args.build = pathlib.Path(args.build).resolve()
    program = "/usr/lib/chromium/chromium" if args.browser == "chromium" else shutil.which("firefox-esr")
    if not program or not os.access(program, os.X_OK):
        print(f"{args.browser} is not installed (deps/debian-packages.txt, Browser tests)", file=sys.stderr)
        return 1
    return run_key_presses(args) if args.key_presses else run(args)


if __name__ == "__main__":
    sys.exit(main())
