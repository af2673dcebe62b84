#!/usr/bin/env python3
"""A web server on 127.0.0.1 that misbehaves on purpose, for the download tests. Prints its port,
then serves until killed or idle for 120 s. A body of N bytes is (i * 7 + 3) % 251 for i < N.
/ok/N honours Range; /drop/N sends half and closes (a Range request is served); /stall/N sends
half, then nothing for 30 s; /short/N announces N and sends N - 10; /long/N sends N + 10;
/norange/N ignores Range; /loop redirects to itself; /redirect/N to /ok/N; anything else is 404.
"""
import http.server
import re
import sys
import threading
import time

last_request = time.time()


def body(size, start=0):
    return bytes((i * 7 + 3) % 251 for i in range(start, size))


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def send_body(self, size, status=200, start=0, announce=None, send=None):
        data = body(size, start)
        self.send_response(status)
        self.send_header("Content-Length", str(len(data) if announce is None else announce))
        if status == 206:
            self.send_header("Content-Range", "bytes %d-%d/%d" % (start, size - 1, size))
        self.end_headers()
        self.wfile.write(data if send is None else data[:send])
        self.wfile.flush()

    def range_start(self):
        match = re.match(r"bytes=(\d+)-", self.headers.get("Range", ""))
        return int(match.group(1)) if match else 0

    def do_GET(self):
        global last_request
        last_request = time.time()
        match = re.match(r"^/(\w+)(?:/(\d+))?$", self.path)
        kind, size = (match.group(1), int(match.group(2) or 0)) if match else ("", 0)
        start = self.range_start()
        if kind in ("ok", "drop") and start:
            self.send_body(size, 206, start)
        elif kind == "ok" or kind == "norange":
            self.send_body(size)
        elif kind == "drop":
            self.send_body(size, send=size // 2)
            self.close_connection = True
        elif kind == "stall":
            self.send_body(size, send=size // 2)
            time.sleep(30)
            self.close_connection = True
        elif kind == "short":
            self.send_body(size, announce=size, send=size - 10)
            self.close_connection = True
        elif kind == "long":
            self.send_body(size + 10)
        elif kind in ("loop", "redirect"):
            self.send_response(302)
            self.send_header("Location", "/loop" if kind == "loop" else "/ok/%d" % size)
            self.send_header("Content-Length", "0")
            self.end_headers()
        else:
            self.send_response(404)
            self.send_header("Content-Length", "0")
            self.end_headers()


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        pass  # clients that give up on a stalled reply are expected


def main():
    server = Server(("127.0.0.1", 0), Handler)
    print(server.server_address[1], flush=True)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    while time.time() - last_request < 120:
        time.sleep(1)
    server.shutdown()


if __name__ == "__main__":
    sys.exit(main())
