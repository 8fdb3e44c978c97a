#!/usr/bin/python3
"""Tests for the ulvo-install-model command against a loopback HTTP server.

    /usr/bin/python3 tests/tools/test_install_model.py --program PATH
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
    """/ok range-capable, /norange ignores Range, /drop cuts the first response
    at HALF, /slow trickles, /hub redirects to /ok with the stored object's hash
    as X-Linked-Etag, anything else is 404. Refused answers and hashes are the
    C++ installer test's; here what the command line adds."""

    def log_message(self, *args):
        pass

    def do_GET(self):
        path = self.path
        rng = self.headers.get("Range")
        self.server.requests.append((path, rng))
        if path == "/hub":
            return self._send(302, b"", {"Location": "/ok", "X-Linked-Etag": f'"{PAYLOAD_SHA}"'})
        if path not in ("/ok", "/norange", "/drop", "/slow"):
            return self._send(404, b"no", {})

        start = 0
        if rng and path != "/norange":
            start = int(rng.split("=")[1].split("-")[0])
            if start >= len(PAYLOAD):
                return self._send(416, b"", {"Content-Range": f"bytes */{len(PAYLOAD)}"})
        body = PAYLOAD[start:]
        self.send_response(206 if start else 200)
        self.send_header("Content-Length", str(len(body)))
        if start:
            self.send_header("Content-Range", f"bytes {start}-{len(PAYLOAD) - 1}/{len(PAYLOAD)}")
        self.end_headers()

        if path == "/drop" and sum(1 for p, _ in self.server.requests if p == "/drop") == 1:
            self.wfile.write(body[:HALF])
            self.wfile.flush()
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

    def _send(self, code, body, headers):
        self.send_response(code)
        for k, v in headers.items():
            self.send_header(k, v)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


class Env:
    """A runtime dir whose config points at models/m.gguf, a catalogue, a scratch data folder, the server."""

    def __init__(self, server):
        self.server = server
        self.tmp = tempfile.mkdtemp(prefix="ulvo-install-test.")
        self.runtime = os.path.join(self.tmp, "lib", "ulvo", "runtime")
        os.makedirs(self.runtime)
        with open(os.path.join(self.runtime, "runtime-config.json"), "w") as f:
            json.dump({"llamaServer": "llama-server", "model": "models/m.gguf", "modelAlias": "m",
                       "contextSize": 2048, "apiKey": "k"}, f)
        self.catalogue(self.url("/hub"), len(PAYLOAD))
        self.data = os.path.join(self.tmp, "data")
        self.dest = os.path.join(self.data, "ulvo", "models", "m.gguf")
        self.part = self.dest + ".part"
        server.requests.clear()

    def catalogue(self, url, size):
        with open(os.path.join(self.runtime, "models.json"), "w") as f:
            json.dump({"default": "m", "models": [{"id": "m", "name": "Test model", "file": "m.gguf",
                                                   "url": url, "bytes": size}]}, f)

    def url(self, path):
        return f"http://127.0.0.1:{self.server.server_address[1]}{path}"

    def command(self, *arguments, program=None, runtime=True):
        cmd = [program or PROGRAM]
        if runtime:
            cmd += ["--runtime", self.runtime]
        return cmd + list(arguments)

    def environment(self):
        return dict(os.environ, XDG_DATA_HOME=self.data)

    def run(self, *arguments, program=None, runtime=True):
        return subprocess.run(self.command(*arguments, program=program, runtime=runtime), capture_output=True,
                              text=True, timeout=60, env=self.environment())

    def write(self, path, data):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)

    def installed(self):
        with open(self.dest, "rb") as f:
            return f.read()

    def close(self):
        shutil.rmtree(self.tmp, ignore_errors=True)


def ok(r):
    assert r.returncode == 0, f"exit {r.returncode}: {r.stderr}"


def failed(r, *needles):
    assert r.returncode != 0, f"expected failure, got success: {r.stderr}"
    for n in needles:
        assert n in r.stderr, f"{n!r} not in stderr: {r.stderr}"


# --- local files ----------------------------------------------------------------

def test_local_install_and_default_runtime(env):
    src = os.path.join(env.tmp, "src.gguf")
    env.write(src, PAYLOAD)
    r = env.run("--sha256", PAYLOAD_SHA.upper(), src)
    ok(r)
    assert env.installed() == PAYLOAD and not os.path.exists(env.part)
    assert r.stdout.strip() == env.dest

    # Without --runtime the command finds <prefix>/lib/ulvo/runtime from <prefix>/bin.
    os.unlink(env.dest)
    bindir = os.path.join(env.tmp, "bin")
    os.makedirs(bindir)
    program = shutil.copy(PROGRAM, os.path.join(bindir, "ulvo-install-model"))
    ok(env.run(src, program=program, runtime=False))
    assert env.installed() == PAYLOAD


def test_local_rejections_keep_previous_model(env):
    env.write(env.dest, b"GGUF previous")
    src = os.path.join(env.tmp, "src.gguf")
    env.write(src, PAYLOAD)
    failed(env.run(os.path.join(env.tmp, "absent.gguf")), "does not exist")
    failed(env.run("--sha256", "0" * 64, src), "did not match its checksum")
    html = os.path.join(env.tmp, "page.html")
    env.write(html, b"<html></html>")
    failed(env.run(html), "not a GGUF")
    assert env.installed() == b"GGUF previous" and not os.path.exists(env.part)

    r = env.run("--sha256", "abc", src)
    assert r.returncode == 2 and "64 hexadecimal" in r.stderr
    failed(env.run(src, runtime=False, program=shutil.copy(PROGRAM, os.path.join(env.tmp, "x"))),
           "not a ULVO runtime directory")


# --- downloads ------------------------------------------------------------------

def test_the_catalogues_default_with_the_hubs_checksum(env):
    r = env.run()
    ok(r)
    assert env.installed() == PAYLOAD
    assert "100.0%" in r.stderr and "/s" in r.stderr, r.stderr
    assert env.server.requests == [("/hub", None), ("/ok", None)], env.server.requests

    # Not enough room for the catalogue's size: said before a byte is fetched.
    env.catalogue(env.url("/hub"), 10 ** 15)
    env.server.requests.clear()
    failed(env.run(), "not enough free disk space")
    assert env.server.requests == []


def test_an_interrupt_exits_130_and_keeps_the_part(env):
    p = subprocess.Popen(env.command(env.url("/slow")), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                         text=True, env=env.environment())
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline and (not os.path.exists(env.part) or os.path.getsize(env.part) < 256 * 1024):
        time.sleep(0.02)
    p.send_signal(signal.SIGINT)
    _, err = p.communicate(timeout=20)
    assert p.returncode == 130 and "run it again to resume" in err, (p.returncode, err)
    kept = os.path.getsize(env.part)
    assert 0 < kept < len(PAYLOAD) and not os.path.exists(env.dest)
    # The next run's Range request from the kept part is the C++ installer test's.


def test_dropped_connection_is_resumed_in_the_same_run(env):
    ok(env.run("--sha256", PAYLOAD_SHA, env.url("/drop")))
    assert env.installed() == PAYLOAD
    assert env.server.requests == [("/drop", None), ("/drop", f"bytes={HALF}-")], env.server.requests


def test_resume_edge_cases(env):
    # Server without Range support: the partial is discarded, not appended to.
    env.write(env.part, PAYLOAD[:HALF])
    ok(env.run("--sha256", PAYLOAD_SHA, env.url("/norange")))
    assert env.installed() == PAYLOAD

    # Partial already complete: server answers 416 and the file is just verified.
    os.unlink(env.dest)
    env.write(env.part, PAYLOAD)
    env.server.requests.clear()
    ok(env.run("--sha256", PAYLOAD_SHA, env.url("/ok")))
    assert env.installed() == PAYLOAD
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


TESTS = [v for k, v in sorted(globals().items()) if k.startswith("test_")]


def main():
    global PROGRAM
    ap = argparse.ArgumentParser()
    ap.add_argument("--program", required=True)
    PROGRAM = os.path.abspath(ap.parse_args().program)

    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    server.requests = []
    threading.Thread(target=server.serve_forever, daemon=True).start()

    passed = failed_n = 0
    for test in TESTS:
        env = Env(server)
        start = time.monotonic()
        try:
            test(env)
            passed += 1
            print(f"PASS {test.__name__} ({time.monotonic() - start:.1f} s)")
        except Exception:
            failed_n += 1
            print(f"FAIL {test.__name__}\n{traceback.format_exc()}")
        finally:
            env.close()
    server.shutdown()
    print(f"{passed} passed, {failed_n} failed")
    return 1 if failed_n else 0


if __name__ == "__main__":
    sys.exit(main())
