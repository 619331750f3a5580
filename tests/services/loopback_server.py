#!/usr/bin/env python3
"""A small HTTP server on 127.0.0.1 for the service tests.

Serves the files of --root and misbehaves on request. It binds an ephemeral port,
prints "PORT <n>" on its first output line, and appends one line per request to
--log: "<METHOD> <path> range=<Range header or ->". A starter that can neither read
its output nor signal it (a Windows test under Wine) passes --port-file, which gets
that line instead (whole, through a temporary file), and --stop-file: the server
ends when that file appears, when --root is removed, or when the process that
started it is gone.

Paths:
  /files/<name>            the file with an ETag of its content; honours "Range:
                           bytes=a-" and "bytes=a-b" (206) unless "If-Range" names
                           another ETag, 416 with "Content-Range: bytes */<size>"
                           past the end
  /ignoreifrange/<name>    like /files/, but a Range is honoured whatever If-Range says
  /norange/<name>          the file, always whole (200), whatever the Range header
  /wrong/<name>            the file with every byte inverted (same length)
  /nolength/<name>         the file without Content-Length, ended by closing
  /stall/<name>?after=N    headers for the whole file, N bytes, then nothing for 600 s
  /slow/<name>?chunk=N&delay=MS   like /files/, sent in N-byte pieces MS ms apart
  /flaky/<name>?after=N[&norange=1|&ignoreifrange=1]  the first request of this
                           path stalls like /stall/; later ones are served like
                           /files/ (or like /norange/, or /ignoreifrange/)
  /status/<code>           an empty answer with that status
  /endless/<name>          like /files/, but a name ending in .sig is answered with
                           an endless stream (no Content-Length) until the client goes
  POST /report             stores the body in <root>/reports.log (one per line), 204
"""
import argparse
import hashlib
import os
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


def etag_of(data):
    return '"%s"' % hashlib.sha256(data).hexdigest()[:16]


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"
    root = "."
    log_path = None
    log_lock = threading.Lock()
    stalled_once = set()

    def log_message(self, format, *args):  # keep stderr quiet
        pass

    def record(self):
        line = "%s %s range=%s if-range=%s\n" % (self.command, self.path, self.headers.get("Range", "-"),
                                                  self.headers.get("If-Range", "-"))
        with Handler.log_lock:
            with open(Handler.log_path, "a") as log:
                log.write(line)

    def split(self):
        parsed = urllib.parse.urlsplit(self.path)
        parts = parsed.path.split("/", 2)
        mode = parts[1] if len(parts) > 1 else ""
        rest = urllib.parse.unquote(parts[2]) if len(parts) > 2 else ""
        return mode, rest, urllib.parse.parse_qs(parsed.query)

    def read_file(self, name):
        path = os.path.join(Handler.root, os.path.basename(name))
        try:
            with open(path, "rb") as f:
                return f.read()
        except OSError:
            return None

    def send_body(self, status, body, extra=None, length=True):
        self.send_response(status)
        self.send_header("Content-Type", "application/octet-stream")
        if length:
            self.send_header("Content-Length", str(len(body)))
        for key, value in (extra or {}).items():
            self.send_header(key, value)
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        self.record()
        mode, name, query = self.split()
        if mode == "status":
            self.send_body(int(name or "500"), b"")
            return
        if mode == "endless" and name.endswith(".sig"):
            self.send_response(200)
            self.end_headers()
            while True:
                self.wfile.write(b"A" * 65536)
        data = self.read_file(name)
        if data is None:
            self.send_body(404, b"not found")
            return
        if mode in ("files", "endless"):
            self.serve_range(data)
        elif mode == "ignoreifrange":
            self.serve_range(data, False)
        elif mode == "norange":
            self.send_body(200, data)
        elif mode == "wrong":
            self.send_body(200, bytes(255 - b for b in data))
        elif mode == "nolength":
            self.send_body(200, data, length=False)
        elif mode == "stall":
            self.stall(data, int(query.get("after", ["0"])[0]))
        elif mode == "flaky":
            with Handler.log_lock:
                first = self.path not in Handler.stalled_once
                Handler.stalled_once.add(self.path)
            if first:
                self.stall(data, int(query.get("after", ["0"])[0]))
            elif query.get("norange", ["0"])[0] == "1":
                self.send_body(200, data)
            else:
                self.serve_range(data, query.get("ignoreifrange", ["0"])[0] != "1")
        elif mode == "slow":
            chunk = int(query.get("chunk", ["1024"])[0])
            delay = int(query.get("delay", ["100"])[0]) / 1000.0
            status, body, extra = self.select_range(data)
            self.send_response(status)
            self.send_header("Content-Length", str(len(body)))
            for key, value in extra.items():
                self.send_header(key, value)
            self.end_headers()
            for start in range(0, len(body), chunk):
                self.wfile.write(body[start:start + chunk])
                self.wfile.flush()
                time.sleep(delay)
        else:
            self.send_body(404, b"unknown mode")

    def stall(self, data, after):
        self.send_response(200)
        self.send_header("Content-Length", str(len(data)))
        self.send_header("ETag", etag_of(data))
        self.end_headers()
        self.wfile.write(data[:after])
        self.wfile.flush()
        time.sleep(600)

    def select_range(self, data, honour_if_range=True):
        """(status, body, headers) for the request's Range and If-Range headers."""
        etag = etag_of(data)
        header = self.headers.get("Range")
        if_range = self.headers.get("If-Range")
        if not header or not header.startswith("bytes=") or (honour_if_range and if_range and if_range != etag):
            return 200, data, {"ETag": etag}
        first, _, last = header[len("bytes="):].partition("-")
        start = int(first)
        end = int(last) if last else len(data) - 1
        if start >= len(data):
            return 416, b"", {"Content-Range": "bytes */%d" % len(data), "ETag": etag}
        end = min(end, len(data) - 1)
        return 206, data[start:end + 1], {"Content-Range": "bytes %d-%d/%d" % (start, end, len(data)), "ETag": etag}

    def serve_range(self, data, honour_if_range=True):
        status, body, extra = self.select_range(data, honour_if_range)
        self.send_body(status, body, extra)

    def do_POST(self):
        self.record()
        length = int(self.headers.get("Content-Length", "0"))
        body = self.rfile.read(length)
        with Handler.log_lock:
            with open(os.path.join(Handler.root, "reports.log"), "ab") as reports:
                reports.write(body.replace(b"\n", b" ") + b"\n")
        self.send_response(204)
        self.end_headers()


class QuietServer(ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        # A client that hangs up early (an aborted download) is part of the tests.
        if isinstance(sys.exc_info()[1], (BrokenPipeError, ConnectionResetError)):
            return
        super().handle_error(request, client_address)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--port-file")
    parser.add_argument("--stop-file")
    args = parser.parse_args()
    Handler.root = args.root
    Handler.log_path = args.log
    open(args.log, "a").close()
    server = QuietServer(("127.0.0.1", 0), Handler)
    if args.port_file:
        with open(args.port_file + ".tmp", "w") as port:
            port.write("PORT %d\n" % server.server_address[1])
        os.replace(args.port_file + ".tmp", args.port_file)
    else:
        print("PORT %d" % server.server_address[1], flush=True)
    if args.stop_file:
        parent = os.getppid()

        def watch():
            # The test may remove its folder, stop file and all, at once.
            while (not os.path.exists(args.stop_file) and os.path.isdir(args.root)
                   and os.getppid() == parent):
                time.sleep(0.1)
            os._exit(0)

        threading.Thread(target=watch, daemon=True).start()
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    sys.exit(main())
