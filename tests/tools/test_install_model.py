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
import unittest
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

PAYLOAD = b"GGUF" + bytes(range(256)) * (3 * 4096)  # ~3 MiB
PAYLOAD_SHA = hashlib.sha256(PAYLOAD).hexdigest()
HALF = len(PAYLOAD) // 2
PROGRAM = None
SERVER = None


class Handler(BaseHTTPRequestHandler):
    """/ok takes Range, /norange ignores it, /drop cuts its first response at HALF, /slow trickles,
    /hub redirects to /ok with the stored object's hash as X-Linked-Etag."""

    def log_message(self, *args):
        pass

    def do_GET(self):
        path, rng = self.path, self.headers.get("Range")
        self.server.requests.append((path, rng))
        if path == "/hub":
            return self._send(302, {"Location": "/ok", "X-Linked-Etag": f'"{PAYLOAD_SHA}"'})
        start = int(rng.split("=")[1].split("-")[0]) if rng and path != "/norange" else 0
        if start >= len(PAYLOAD):
            return self._send(416, {"Content-Range": f"bytes */{len(PAYLOAD)}"})
        body = PAYLOAD[start:]
        headers = {"Content-Range": f"bytes {start}-{len(PAYLOAD) - 1}/{len(PAYLOAD)}"} if start else {}
        self._send(206 if start else 200, headers, len(body))
        if path == "/drop" and [p for p, _ in self.server.requests].count("/drop") == 1:
            body, self.close_connection = body[:HALF], True
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


class InstallModelTest(unittest.TestCase):
    """A runtime dir whose config points at models/m.gguf, a catalogue, a scratch data folder."""

    def setUp(self):
        self.tmp = Path(tempfile.mkdtemp(prefix="ulvo-install-test."))
        self.addCleanup(shutil.rmtree, self.tmp, ignore_errors=True)
        self.runtime = self.tmp / "lib" / "ulvo" / "runtime"
        self.write(self.runtime / "runtime-config.json", json.dumps(
            {"llamaServer": "llama-server", "model": "models/m.gguf", "modelAlias": "m", "contextSize": 2048,
             "apiKey": "k"}).encode())
        self.catalogue(len(PAYLOAD))
        self.data = self.tmp / "data"
        self.dest = self.data / "ulvo" / "models" / "m.gguf"
        self.part = Path(f"{self.dest}.part")
        self.src = str(self.write(self.tmp / "src.gguf", PAYLOAD))
        SERVER.requests.clear()

    def catalogue(self, size):
        self.write(self.runtime / "models.json", json.dumps(
            {"default": "m", "models": [{"id": "m", "name": "Test model", "file": "m.gguf",
                                         "url": url("/hub"), "bytes": size}]}).encode())

    def command(self, *arguments, program=None):
        return [program or PROGRAM] + ([] if program else ["--runtime", self.runtime]) + list(arguments)

    def run_tool(self, *arguments, program=None):
        return subprocess.run(self.command(*arguments, program=program), capture_output=True, text=True,
                              timeout=60, env=dict(os.environ, XDG_DATA_HOME=self.data))

    def ok(self, *arguments, program=None):
        r = self.run_tool(*arguments, program=program)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(self.dest.read_bytes(), PAYLOAD)
        return r

    def failed(self, needle, *arguments, program=None):
        r = self.run_tool(*arguments, program=program)
        self.assertNotEqual(r.returncode, 0)
        self.assertIn(needle, r.stderr)

    @staticmethod
    def write(path, data):
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
        return path

    def test_local_install_and_default_runtime(self):
        r = self.ok("--sha256", PAYLOAD_SHA.upper(), self.src)
        self.assertFalse(self.part.exists())
        self.assertEqual(r.stdout.strip(), str(self.dest))
        # Without --runtime the command finds <prefix>/lib/ulvo/runtime from <prefix>/bin.
        self.dest.unlink()
        (self.tmp / "bin").mkdir()
        self.ok(self.src, program=shutil.copy(PROGRAM, self.tmp / "bin" / "ulvo-install-model"))

    def test_local_rejections_keep_previous_model(self):
        self.write(self.dest, b"GGUF previous")
        self.failed("does not exist", str(self.tmp / "absent.gguf"))
        self.failed("did not match its checksum", "--sha256", "0" * 64, self.src)
        self.failed("not a GGUF", str(self.write(self.tmp / "page.html", b"<html></html>")))
        self.assertEqual(self.dest.read_bytes(), b"GGUF previous")
        self.assertFalse(self.part.exists())
        r = self.run_tool("--sha256", "abc", self.src)
        self.assertEqual(r.returncode, 2)
        self.assertIn("64 hexadecimal", r.stderr)
        self.failed("not a ULVO runtime directory", self.src, program=shutil.copy(PROGRAM, self.tmp / "x"))

    def test_the_catalogues_default_with_the_hubs_checksum(self):
        r = self.ok()
        self.assertIn("100.0%", r.stderr)
        self.assertIn("/s", r.stderr)
        # Not enough room for the catalogue's size: said before a byte is fetched.
        self.catalogue(10 ** 15)
        SERVER.requests.clear()
        self.failed("not enough free disk space")
        self.assertEqual(SERVER.requests, [])

    def test_an_interrupt_exits_130_and_keeps_the_part(self):
        p = subprocess.Popen(self.command(url("/slow")), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True, env=dict(os.environ, XDG_DATA_HOME=self.data))
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline and (not self.part.exists() or self.part.stat().st_size < 256 * 1024):
            time.sleep(0.02)
        p.send_signal(signal.SIGINT)
        _, err = p.communicate(timeout=20)
        self.assertEqual(p.returncode, 130)
        self.assertIn("run it again to resume", err)
        self.assertTrue(0 < self.part.stat().st_size < len(PAYLOAD) and not self.dest.exists())
        # The next run's Range request from the kept part is the C++ installer test's.

    def test_resumes(self):
        # A dropped connection is resumed in the same run.
        self.ok("--sha256", PAYLOAD_SHA, url("/drop"))
        self.assertEqual(SERVER.requests, [("/drop", None), ("/drop", f"bytes={HALF}-")])
        # A server without Range support: the partial is discarded, not appended to.
        for part, path in ((PAYLOAD[:HALF], "/norange"), (PAYLOAD, "/ok")):
            self.dest.unlink()
            self.write(self.part, part)
            SERVER.requests.clear()
            self.ok("--sha256", PAYLOAD_SHA, url(path))
        # The partial was complete: the server answers 416 and the file is only verified.
        self.assertEqual(SERVER.requests, [("/ok", f"bytes={len(PAYLOAD)}-")])
        # A corrupt partial fails the checksum once, is removed, and the rerun is clean.
        self.dest.unlink()
        self.write(self.part, b"GGUF" + b"\0" * (HALF - 4))
        self.failed("did not match its checksum", "--sha256", PAYLOAD_SHA, url("/ok"))
        self.assertFalse(self.part.exists() or self.dest.exists())
        self.ok("--sha256", PAYLOAD_SHA, url("/ok"))

    def test_a_port_nobody_answers_on(self):
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        self.failed("download failed", f"http://127.0.0.1:{port}/m.gguf")
        self.assertFalse(self.dest.exists())


def url(path):
    return f"http://127.0.0.1:{SERVER.server_address[1]}{path}"


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    arguments, rest = parser.parse_known_args()
    PROGRAM = os.path.abspath(arguments.program)
    SERVER = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    SERVER.daemon_threads = True
    SERVER.requests = []
    threading.Thread(target=SERVER.serve_forever, daemon=True).start()
    result = unittest.main(argv=[sys.argv[0]] + rest, verbosity=2, exit=False).result
    SERVER.shutdown()
    sys.exit(0 if result.wasSuccessful() else 1)
