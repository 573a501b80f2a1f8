#!/usr/bin/env python3
"""A plain threaded HTTP server as many front ends are: Python's ThreadingHTTPServer with its
default listen backlog (5), one thread per connection, HTTP/1.0 answers after a pause.

It answers every POST with a one-image Gemini answer (a real 1x1 PNG) and every GET /count
with the number of POSTs it has read whole. It prints "PORT <n>" on its first line once it
listens on 127.0.0.1.

    threaded_server.py [--delay SECONDS] [--backlog N]
"""

import argparse
import base64
import json
import struct
import sys
import threading
import time
import zlib
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


def tiny_png() -> bytes:
    def chunk(kind: bytes, data: bytes) -> bytes:
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    header = struct.pack(">IIBBBBB", 1, 1, 8, 2, 0, 0, 0)
    pixels = zlib.compress(b"\x00\xff\x80\x00")
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", pixels) +
            chunk(b"IEND", b""))


ANSWER = json.dumps({
    "candidates": [{
        "content": {"parts": [{"inlineData": {
            "mimeType": "image/png",
            "data": base64.b64encode(tiny_png()).decode()}}]},
        "finishReason": "STOP",
    }],
}).encode()


class Handler(BaseHTTPRequestHandler):
    posts = 0
    lock = threading.Lock()
    delay = 2.0

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        self.rfile.read(length)
        with Handler.lock:
            Handler.posts += 1
        time.sleep(Handler.delay)
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(ANSWER)))
        self.end_headers()
        self.wfile.write(ANSWER)

    def do_GET(self):
        with Handler.lock:
            text = str(Handler.posts).encode()
        self.send_response(200)
        self.send_header("Content-Length", str(len(text)))
        self.end_headers()
        self.wfile.write(text)

    def log_message(self, *args):
        pass


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--delay", type=float, default=2.0)
    parser.add_argument("--backlog", type=int, default=5)
    options = parser.parse_args()
    Handler.delay = options.delay
    ThreadingHTTPServer.request_queue_size = options.backlog
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    print(f"PORT {server.server_address[1]}", flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    sys.exit(0)


if __name__ == "__main__":
    main()
