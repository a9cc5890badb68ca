#!/usr/bin/env python3
"""Loads a page in headless Chromium and reads its rendered DOM over the DevTools protocol
(Python standard library only, loopback only). Used by the status page's browser test:

    page_dom.py --url URL --ready TEXT --expect TEXT [--timeout S] [--chromium PATH]

1. starts Chromium on the page with a fresh profile and a DevTools port of its own;
2. waits until the page's text holds every --ready text, then prints "READY" (the test then
   makes something happen on the site);
3. waits until the page's text holds every --expect text;
4. prints "DOM-BEGIN", the document's HTML, "DOM-END", and exits 0 (1 when a wait ran out,
   2 when the browser could not be driven). Chromium is stopped in every case.
"""

import argparse
import base64
import json
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time
import urllib.request


class WebSocket:
    """Just enough of RFC 6455 for the DevTools protocol: text frames, client masking."""

    def __init__(self, url, timeout):
        assert url.startswith("ws://")
        hostport, _, path = url[5:].partition("/")
        host, _, port = hostport.rpartition(":")
        if host not in ("127.0.0.1", "localhost", "[::1]"):
            raise RuntimeError(f"refusing a DevTools address off loopback: {host}")
        self.sock = socket.create_connection((host.strip("[]"), int(port)), timeout=timeout)
        key = base64.b64encode(os.urandom(16)).decode()
        self.sock.sendall((f"GET /{path} HTTP/1.1\r\nHost: {hostport}\r\nUpgrade: websocket\r\n"
                           f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\n"
                           "Sec-WebSocket-Version: 13\r\n\r\n").encode())
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = self.sock.recv(4096)
            if not chunk:
                raise RuntimeError("DevTools closed the connection during the handshake")
            head += chunk
        if b" 101 " not in head.split(b"\r\n", 1)[0]:
            raise RuntimeError("DevTools refused the WebSocket: " + head.split(b"\r\n", 1)[0].decode())
        self.buf = head.split(b"\r\n\r\n", 1)[1]

    def send(self, text):
        data = text.encode()
        header = bytes([0x81])
        n = len(data)
        if n < 126:
            header += bytes([0x80 | n])
        elif n < 65536:
            header += bytes([0x80 | 126]) + struct.pack(">H", n)
        else:
            header += bytes([0x80 | 127]) + struct.pack(">Q", n)
        mask = os.urandom(4)
        self.sock.sendall(header + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(data)))

    def _read(self, n):
        while len(self.buf) < n:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise RuntimeError("DevTools closed the connection")
            self.buf += chunk
        out, self.buf = self.buf[:n], self.buf[n:]
        return out

    def recv(self):
        message = b""
        while True:
            b0, b1 = self._read(2)
            n = b1 & 0x7F
            if n == 126:
                n = struct.unpack(">H", self._read(2))[0]
            elif n == 127:
                n = struct.unpack(">Q", self._read(8))[0]
            payload = self._read(n)
            opcode = b0 & 0x0F
            if opcode == 8:
                raise RuntimeError("DevTools closed the WebSocket")
            if opcode in (9, 10):  # ping, pong: nothing to do for a short session
                continue
            message += payload
            if b0 & 0x80:
                return message.decode("utf-8", "replace")


class Page:
    def __init__(self, ws):
        self.ws = ws
        self.next_id = 0

    def call(self, method, params=None):
        self.next_id += 1
        self.ws.send(json.dumps({"id": self.next_id, "method": method, "params": params or {}}))
        while True:
            reply = json.loads(self.ws.recv())
            if reply.get("id") == self.next_id:
                if "error" in reply:
                    raise RuntimeError(f"{method}: {reply['error']}")
                return reply.get("result", {})

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", {"expression": expression, "returnByValue": True})
        return result.get("result", {}).get("value")


def find_chromium(given):
    for name in ([given] if given else []) + ["chromium", "chromium-browser", "google-chrome"]:
        path = shutil.which(name)
        if path:
            return path
    raise RuntimeError("no Chromium found (Debian package chromium)")


def wait_text(page, texts, deadline):
    while time.monotonic() < deadline:
        try:
            text = page.evaluate("document.body ? document.body.innerText : ''") or ""
        except RuntimeError:
            text = ""  # no document yet: the page is still loading
        if all(t in text for t in texts):
            return True
        time.sleep(0.2)
    return False


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--url", required=True)
    p.add_argument("--ready", action="append", default=[])
    p.add_argument("--expect", action="append", default=[])
    p.add_argument("--timeout", type=float, default=30)
    p.add_argument("--chromium")
    p.add_argument("--screenshot", help="also save a PNG of the page at the end")
    args = p.parse_args()

    profile = tempfile.mkdtemp(prefix="tarncard-chromium-")
    proc = None
    status = 2
    try:
        proc = subprocess.Popen(
            [find_chromium(args.chromium), "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
             "--no-first-run", "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--disable-extensions", "--window-size=1280,800", f"--user-data-dir={profile}",
             "--remote-debugging-address=127.0.0.1", "--remote-debugging-port=0", args.url],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        deadline = time.monotonic() + args.timeout
        port_file = os.path.join(profile, "DevToolsActivePort")
        while not os.path.exists(port_file) or not open(port_file).read().strip():
            if proc.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("Chromium did not open its DevTools port")
            time.sleep(0.1)
        port = int(open(port_file).read().split()[0])
        target = None
        while target is None and time.monotonic() < deadline:
            with urllib.request.urlopen(f"http://127.0.0.1:{port}/json/list", timeout=5) as r:
                pages = [t for t in json.load(r) if t.get("type") == "page"]
            target = pages[0] if pages else None
            if target is None:
                time.sleep(0.1)
        if target is None:
            raise RuntimeError("Chromium shows no page")
        page = Page(WebSocket(target["webSocketDebuggerUrl"], args.timeout))
        status = 1
        if not wait_text(page, args.ready, deadline):
            print("NOT-READY", flush=True)
        else:
            print("READY", flush=True)
            if wait_text(page, args.expect, time.monotonic() + args.timeout):
                status = 0
        html = page.evaluate("document.documentElement.outerHTML") or ""
        if args.screenshot:
            shot = page.call("Page.captureScreenshot", {"format": "png"})
            with open(args.screenshot, "wb") as f:
                f.write(base64.b64decode(shot["data"]))
        print("DOM-BEGIN")
        print(html)
        print("DOM-END", flush=True)
    except Exception as e:  # noqa: BLE001 - reported to the test, which fails on it
        print(f"ERROR: {e}", flush=True)
    finally:
        if proc is not None:
            proc.terminate()
            try:
                proc.wait(10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        shutil.rmtree(profile, ignore_errors=True)
    return status


if __name__ == "__main__":
    sys.exit(main())
