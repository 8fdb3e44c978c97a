#!/usr/bin/python3
"""Tests for the ulvo-install-model command against a loopback HTTP server.

    /usr/bin/python3 tests/tools/test_install_model.py --program PATH

Refused answers and hashes are the C++ installer test's; here what the command line adds.
"""

import argparse
import hashlib
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import traceback
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

PAYLOAD = b"GGUF" + bytes(range(256)) * (3 * 4096)  # ~3 MiB
PAYLOAD_SHA = hashlib.sha256(PAYLOAD).hexdigest()
HALF = len(PAYLOAD) // 2
PROGRAM = None


class Handler(BaseHTTPRequestHandler):
    """/ok takes Range, /norange ignores it, /drop cuts its first response at HALF, /slow trickles,
    /hub redirects to /ok with the stored object's hash as X-Linked-Etag, anything else is 404."""

    def log_message(self, *args):
        pass

    def do_GET(self):
        path, rng = self.path, self.headers.get("Range")
        self.server.requests.append((path, rng))
        if path == "/hub":
            return self._send(302, {"Location": "/ok", "X-Linked-Etag": f'"{PAYLOAD_SHA}"'})
        if path not in ("/ok", "/norange", "/drop", "/slow"):
            return self._send(404, {})
        start = int(rng.split("=")[1].split("-")[0]) if rng and path != "/norange" else 0
        if start >= len(PAYLOAD):
            return self._send(416, {"Content-Range": f"bytes */{len(PAYLOAD)}"})
        body = PAYLOAD[start:]
        headers = {"Content-Range": f"bytes {start}-{len(PAYLOAD) - 1}/{len(PAYLOAD)}"} if start else {}
        self._send(206 if start else 200, headers, len(body))
        if path == "/drop" and [p for p, _ in self.server.requests].count("/drop") == 1:
            self.wfile.write(body[:HALF])
            self.close_connection = True
            return
        step = 32 * 1024 if path == "/slow" else len(body)
        try:
            for i in range(0, len(body), step):
                self.wfile.write(body[i:i + step])
                if path == "/slow":
                    self.wfile.flush()
                    time.sleep(0.05)
        except (BrokenPipeError, ConnectionResetError):
            pass

    def _send(self, code, headers, length=0):
        self.send_response(code)
        for k, v in dict(headers, **{"Content-Length": str(length)}).items():
            self.send_header(k, v)
        self.end_headers()


class Env:
    """A runtime dir whose config points at models/m.gguf, a catalogue, a scratch data folder, the server."""

    def __init__(self, server):
        self.server = server
        self.tmp = tempfile.mkdtemp(prefix="ulvo-install-test.")
        self.runtime = os.path.join(self.tmp, "lib", "ulvo", "runtime")
        self.write(os.path.join(self.runtime, "runtime-config.json"), json.dumps(
            {"llamaServer": "llama-server", "model": "models/m.gguf", "modelAlias": "m", "contextSize": 2048,
             "apiKey": "k"}).encode())
        self.catalogue(len(PAYLOAD))
        self.data = os.path.join(self.tmp, "data")
        self.dest = os.path.join(self.data, "ulvo", "models", "m.gguf")
        self.part = self.dest + ".part"
        self.src = os.path.join(self.tmp, "src.gguf")
        self.write(self.src, PAYLOAD)
        server.requests.clear()

    def catalogue(self, size):
        self.write(os.path.join(self.runtime, "models.json"), json.dumps(
            {"default": "m", "models": [{"id": "m", "name": "Test model", "file": "m.gguf",
                                         "url": self.url("/hub"), "bytes": size}]}).encode())

    def url(self, path):
        return f"http://127.0.0.1:{self.server.server_address[1]}{path}"

    def command(self, *arguments, program=None):
        return [program or PROGRAM] + ([] if program else ["--runtime", self.runtime]) + list(arguments)

    def run(self, *arguments, program=None):
        return subprocess.run(self.command(*arguments, program=program), capture_output=True, text=True,
                              timeout=60, env=dict(os.environ, XDG_DATA_HOME=self.data))

    @staticmethod
    def write(path, data):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)

    def installed(self):
        with open(self.dest, "rb") as f:
            return f.read()


def ok(r):
    assert r.returncode == 0, f"exit {r.returncode}: {r.stderr}"


def failed(r, needle):
    assert r.returncode != 0 and needle in r.stderr, f"exit {r.returncode}, {needle!r} not in: {r.stderr}"


def test_local_install_and_default_runtime(env):
    r = env.run("--sha256", PAYLOAD_SHA.upper(), env.src)
    ok(r)
    assert env.installed() == PAYLOAD and not os.path.exists(env.part)
    assert r.stdout.strip() == env.dest
    # Without --runtime the command finds <prefix>/lib/ulvo/runtime from <prefix>/bin.
    os.unlink(env.dest)
    os.makedirs(os.path.join(env.tmp, "bin"))
    ok(env.run(env.src, program=shutil.copy(PROGRAM, os.path.join(env.tmp, "bin", "ulvo-install-model"))))
    assert env.installed() == PAYLOAD


def test_local_rejections_keep_previous_model(env):
    env.write(env.dest, b"GGUF previous")
    failed(env.run(os.path.join(env.tmp, "absent.gguf")), "does not exist")
    failed(env.run("--sha256", "0" * 64, env.src), "did not match its checksum")
    env.write(os.path.join(env.tmp, "page.html"), b"<html></html>")
    failed(env.run(os.path.join(env.tmp, "page.html")), "not a GGUF")
    assert env.installed() == b"GGUF previous" and not os.path.exists(env.part)
    r = env.run("--sha256", "abc", env.src)
    assert r.returncode == 2 and "64 hexadecimal" in r.stderr
    failed(env.run(env.src, program=shutil.copy(PROGRAM, os.path.join(env.tmp, "x"))),
           "not a ULVO runtime directory")


def test_the_catalogues_default_with_the_hubs_checksum(env):
    r = env.run()
    ok(r)
    assert env.installed() == PAYLOAD
    assert "100.0%" in r.stderr and "/s" in r.stderr, r.stderr
    assert env.server.requests == [("/hub", None), ("/ok", None)], env.server.requests
    # Not enough room for the catalogue's size: said before a byte is fetched.
    env.catalogue(10 ** 15)
    env.server.requests.clear()
    failed(env.run(), "not enough free disk space")
    assert env.server.requests == []


def test_an_interrupt_exits_130_and_keeps_the_part(env):
    p = subprocess.Popen(env.command(env.url("/slow")), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                         text=True, env=dict(os.environ, XDG_DATA_HOME=env.data))
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline and (not os.path.exists(env.part) or os.path.getsize(env.part) < 256 * 1024):
        time.sleep(0.02)
    p.send_signal(signal.SIGINT)
    _, err = p.communicate(timeout=20)
    assert p.returncode == 130 and "run it again to resume" in err, (p.returncode, err)
    assert 0 < os.path.getsize(env.part) < len(PAYLOAD) and not os.path.exists(env.dest)
    # The next run's Range request from the kept part is the C++ installer test's.


def test_resumes(env):
    # A dropped connection is resumed in the same run.
    ok(env.run("--sha256", PAYLOAD_SHA, env.url("/drop")))
    assert env.installed() == PAYLOAD
    assert env.server.requests == [("/drop", None), ("/drop", f"bytes={HALF}-")], env.server.requests
    # A server without Range support: the partial is discarded, not appended to.
    for part, url in ((PAYLOAD[:HALF], "/norange"), (PAYLOAD, "/ok")):
        os.unlink(env.dest)
        env.write(env.part, part)
        env.server.requests.clear()
        ok(env.run("--sha256", PAYLOAD_SHA, env.url(url)))
        assert env.installed() == PAYLOAD
    # The partial was complete: the server answers 416 and the file is only verified.
    assert env.server.requests == [("/ok", f"bytes={len(PAYLOAD)}-")], env.server.requests
    # A corrupt partial fails the checksum once, is removed, and the rerun is clean.
    os.unlink(env.dest)
    env.write(env.part, b"GGUF" + b"\0" * (HALF - 4))
    failed(env.run("--sha256", PAYLOAD_SHA, env.url("/ok")), "did not match its checksum")
    assert not os.path.exists(env.part) and not os.path.exists(env.dest)
    ok(env.run("--sha256", PAYLOAD_SHA, env.url("/ok")))
    assert env.installed() == PAYLOAD


def test_download_errors(env):
    failed(env.run(env.url("/missing")), "answered 404")
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    failed(env.run(f"http://127.0.0.1:{port}/m.gguf"), "download failed")
    assert not os.path.exists(env.dest)


def main():
    global PROGRAM
    ap = argparse.ArgumentParser()
    ap.add_argument("--program", required=True)
    PROGRAM = os.path.abspath(ap.parse_args().program)
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    server.requests = []
    threading.Thread(target=server.serve_forever, daemon=True).start()
    passed = failures = 0
    for name, test in sorted((k, v) for k, v in globals().items() if k.startswith("test_")):
        env = Env(server)
        start = time.monotonic()
        try:
            test(env)
            passed += 1
            print(f"PASS {name} ({time.monotonic() - start:.1f} s)")
        except Exception:
            failures += 1
            print(f"FAIL {name}\n{traceback.format_exc()}")
        finally:
            shutil.rmtree(env.tmp, ignore_errors=True)
    server.shutdown()
    print(f"{passed} passed, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
