#!/usr/bin/python3
"""Starts the staged llama-server the way the app does and checks it answers.

    /usr/bin/python3 tests/tools/test_runtime_server.py --runtime DIR --model FILE

DIR is a staged runtime (lib/ulvo/runtime); FILE the test model. The server
gets the app's environment, cwd and arguments, on a free loopback port
instead of 7332 so a running app is not disturbed.
"""

import argparse
import json
import os
import platform
import secrets
import socket
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

SYSTEM_PROMPT = "You explain selected text in one short paragraph."


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def request(url, body=None, key=None, timeout=60):
    headers = {"Content-Type": "application/json"}
    if key:
        headers["Authorization"] = f"Bearer {key}"
    data = json.dumps(body).encode() if body is not None else None
    req = urllib.request.Request(url, data=data, headers=headers)
    try:
        with urllib.request.urlopen(req, timeout=timeout) as r:
            return r.status, json.loads(r.read() or b"null")
    except urllib.error.HTTPError as e:
        return e.code, None


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runtime", required=True)
    ap.add_argument("--model", required=True)
    ap.add_argument("--port", type=int, default=0)
    args = ap.parse_args()

    runtime = os.path.abspath(args.runtime)
    with open(os.path.join(runtime, "runtime-config.json")) as f:
        config = json.load(f)
    key = secrets.token_hex(16)  # each user has their own; any key does for the server
    libdir = os.path.join(runtime, "lib", platform.machine())
    # The key travels in the environment, as the program passes it.
    env = dict(os.environ, LD_LIBRARY_PATH=libdir,
               GGML_BACKEND_PATH=os.path.join(libdir, "libggml-cpu.so"), LLAMA_API_KEY=key)
    port = args.port or free_port()
    base = f"http://127.0.0.1:{port}"
    cmd = [os.path.join(runtime, config["llamaServer"]), "--model", os.path.abspath(args.model),
           "--host", "127.0.0.1", "--port", str(port), "--ctx-size", str(config["contextSize"]),
           "--alias", config["modelAlias"], "--jinja"]

    results = []

    def check(name, cond, detail=""):
        results.append(cond)
        print(f"{'PASS' if cond else 'FAIL'} {name}{': ' + detail if detail else ''}")

    log = tempfile.TemporaryFile()
    start = time.monotonic()
    server = subprocess.Popen(cmd, cwd=runtime, env=env, stdout=log, stderr=subprocess.STDOUT)
    try:
        healthy = None
        while time.monotonic() - start < 30 and server.poll() is None:
            try:
                if request(base + "/health", timeout=2)[0] == 200:
                    healthy = time.monotonic() - start
                    break
            except (urllib.error.URLError, OSError):
                pass
            time.sleep(0.02)
        check("server becomes healthy", healthy is not None,
              f"{healthy:.2f} s" if healthy is not None else f"exit code {server.poll()}")
        if healthy is None:
            log.seek(0)
            sys.stdout.write(log.read().decode(errors="replace")[-4000:])
            return 1

        chat = {"model": config["modelAlias"], "max_tokens": 650, "temperature": 0.35,
                "messages": [{"role": "system", "content": SYSTEM_PROMPT},
                             {"role": "user", "content": "Explain: photosynthesis"}]}
        t = time.monotonic()
        status, reply = request(base + "/v1/chat/completions", chat, key)
        elapsed = time.monotonic() - t
        content = (reply or {}).get("choices", [{}])[0].get("message", {}).get("content") or ""
        tokens = (reply or {}).get("usage", {}).get("completion_tokens")
        check("chat completion answers", status == 200 and content.strip() != "",
              f"HTTP {status}, {tokens} tokens in {elapsed:.2f} s")

        status, _ = request(base + "/v1/chat/completions", chat, key="wrong")
        check("wrong API key is refused", status == 401, f"HTTP {status}")

        status, applied = request(base + "/apply-template", {"messages": chat["messages"]}, key)
        prompt = (applied or {}).get("prompt", "")
        check("chat template keeps the system message", SYSTEM_PROMPT in prompt, repr(prompt[:120]))
    finally:
        server.terminate()
        try:
            server.wait(timeout=10)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait()

    print(f"{results.count(True)} passed, {results.count(False)} failed")
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())
