#!/usr/bin/python3
"""The installed program as a user meets it, inside scripts/private-session.

Without arguments: a chat-completions provider on loopback stands in for the cloud; /usr/bin/ulvo starts,
Alt+E in a GTK application sends its selection to the provider, and the browser manifests it wrote name
the installed host. With --host-only (any user, no desktop): one explain request to the installed native
host, which makes this user's runtime key on the way to saying the built-in model is missing.
"""
import json
import os
import struct
import subprocess
import sys
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

HOST = "/usr/lib/ulvo/runtime/ulvo-runtime-host"
TEXT_APP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fixtures", "text_app.py")


def host_only():
    payload = json.dumps({"type": "explain", "text": "Photosynthesis", "level": 50, "id": 1}).encode()
    host = subprocess.run([HOST, "chrome-extension://test/"], input=struct.pack("<I", len(payload)) + payload,
                          capture_output=True, timeout=60)
    if len(host.stdout) < 4:
        sys.exit(f"the installed host gave no reply: {host.stderr.decode(errors='replace')}")
    reply = json.loads(host.stdout[4:4 + struct.unpack("<I", host.stdout[:4])[0]])
    print("host replied:", reply)


class Provider(BaseHTTPRequestHandler):
    asked = threading.Event()  # about the selection

    def do_POST(self):
        if b"Photosynthesis" in self.rfile.read(int(self.headers.get("Content-Length", "0"))):
            Provider.asked.set()
        reply = json.dumps({"choices": [{"message": {"role": "assistant", "content": "A loopback answer."},
                                         "finish_reason": "stop"}]}).encode()
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

    def log_message(self, *args):
        pass


def desktop():
    server = ThreadingHTTPServer(("127.0.0.1", 0), Provider)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    config = os.environ.get("XDG_CONFIG_HOME") or os.path.join(os.environ["HOME"], ".config")
    os.makedirs(os.path.join(config, "ulvo"), exist_ok=True)
    with open(os.path.join(config, "ulvo", "preferences.ini"), "w") as prefs:
        prefs.write(f"[ulvo]\nmodelProvider=custom\nmodelBaseURL=http://127.0.0.1:{server.server_port}/v1\n"
                    "modelName=loopback\n")
    subprocess.run(["secret-tool", "store", "--label=ULVO test key", "service", "com.zvk.ULVO.api-keys",
                    "account", "custom"], input=b"sk-package-test", check=True)

    app = subprocess.Popen(["/usr/bin/python3", TEXT_APP, "--kind", "textview", "--text",
                            "Photosynthesis turns light into sugar", "--select", "0", "14"],
                           stdout=subprocess.PIPE, text=True)
    ready = app.stdout.readline()
    if not ready.startswith("ready"):
        sys.exit(f"the text application did not start: {ready!r}")
    ulvo = subprocess.Popen(["/usr/bin/ulvo"])
    try:
        # Alt+E works once start-up has grabbed it; until the provider hears of the selection it is
        # pressed again every few seconds (before the grab it only reaches the text application).
        for _ in range(20):
            subprocess.run(["xdotool", "key", "alt+e"], check=True)
            if Provider.asked.wait(3):
                break
        else:
            sys.exit("timed out waiting for Alt+E's request at the provider")
        print("the provider was asked about the selection")

        home = os.environ["HOME"]
        for folder in (".config/google-chrome/NativeMessagingHosts", ".mozilla/native-messaging-hosts"):
            with open(os.path.join(home, folder, "com.ulvo_by_zvk.runtime.json")) as manifest:
                named = json.load(manifest)["path"]
            if named != HOST:
                sys.exit(f"{folder}: the manifest names {named}, not {HOST}")
        print("the manifests name the installed host")
    finally:
        ulvo.terminate()
        ulvo.wait(timeout=20)
        app.terminate()
        server.shutdown()


if __name__ == "__main__":
    host_only() if "--host-only" in sys.argv else desktop()
