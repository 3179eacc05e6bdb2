#!/usr/bin/env python3
"""The test release server: HTTPS on one address, serving ROOT below "/zolta/".

GET /zolta/NAME answers with the file ROOT/NAME (404 when there is none). Every request is
appended to ROOT/requests.jsonl as {"path": ..., "headers": {...}}; a request that reaches the
silence of "stall", or the hold of "trickle", is appended to ROOT/stalls.jsonl as {"path": ...}.

Misbehaviour is chosen at run time through ROOT/faults.json, read afresh for every connection:

  {"tls": "unknown-ca" | "wrong-host",          certificate for the next handshakes
   "handshake": SECONDS,                        a pause before each handshake
   "NAME": "MODE" or {"mode": "MODE", ...}}     what a request for /zolta/NAME gets

Modes (options in brackets):
  normal     the file with its Content-Length (the default)
  chunked    no Content-Length, chunked transfer coding
  close      no Content-Length, no coding: the body ends when the connection closes
  length0    "Content-Length: 0" and no body
  short      the full length announced, [send] bytes (half) sent, then a clean close
  reset      the full length announced, [send] bytes (half) sent, then a TCP reset
  stall      the full length announced, [send] bytes (half) sent, then silence for [seconds] (60)
  trickle    the body in pieces of [chunk] bytes (1024) every [delay] seconds (0.02); with [until]
             a file name, a hold from [after] bytes (half) on: [keep] bytes (128) every [pause]
             seconds (2), never silent for long, until the file ROOT/[until] exists
  301, 302   a redirect to /zolta/NAME.moved
  404        not found
  drop       the request is read, then the connection is reset without a response
  silent     the request is read, then nothing is sent for [seconds] (60)
  slowheaders  the status line, then one header line every [delay] seconds (5) for [seconds]
             (60), then an empty body
  flood      the status line, then header lines as fast as the client takes them, for [seconds]
             (60); never an end of the head
  dribble    the response head one byte every [delay] seconds (1) for [seconds] (60); never
             finished
  Bodies whose end is not proven (both without a length; [send] bytes, the whole body by default):
  fin        no coding: the body ends with a TCP close that no TLS close_notify precedes
  nolastchunk  chunked: a clean close (close_notify) where the last chunk should follow
Options for every mode: [chunked] true sends the body without a length, chunked; [size] serves that many zero bytes instead of a file (no file needed);
[length] announces that Content-Length instead of the real one; [coding] a Content-Encoding
value, or a list of them sent as header lines of their own ("gzip" alone also compresses the
body with gzip).
"""

import argparse
import gzip
import http.server
import json
import os
import select
import socket
import ssl
import struct
import sys
import threading
import time

ZEROS = bytes(1 << 20)
FAST = lambda sent: (1 << 20, None)


class Body:
    """The bytes to serve: a file, bytes in memory or a run of zeros."""

    def __init__(self, path, size, data=None):
        self.path, self.size, self.data = path, size, data

    def pieces(self, limit, pace):
        """(data, pause) pairs; pace(sent) gives the next piece's size and the pause after it."""
        sent = 0
        with open(self.path, "rb") if self.path else _nothing() as f:
            while sent < limit:
                chunk, pause = pace(sent)
                n = min(chunk, limit - sent)
                if self.data is not None:
                    data = self.data[sent:sent + n]
                else:
                    data = f.read(n) if f else ZEROS[:n]
                if not data:
                    return
                sent += len(data)
                yield data, pause


class _nothing:
    def __enter__(self):
        return None

    def __exit__(self, *args):
        return False


def faults(root):
    try:
        with open(os.path.join(root, "faults.json"), encoding="utf-8") as f:
            return json.load(f)
    except (OSError, ValueError):
        return {}


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "TestRelease"
    sys_version = ""

    def setup(self):
        super().setup()
        time.sleep(float(faults(self.server.root).get("handshake", 0)))
        try:
            self.connection.do_handshake()
            self.shaken = True
        except (ssl.SSLError, OSError):
            self.shaken = False  # a refused certificate: nothing more to do

    def handle(self):
        if self.shaken:
            super().handle()

    def log_message(self, *args):
        pass

    def do_GET(self):
        root = self.server.root
        with self.server.lock, open(os.path.join(root, "requests.jsonl"), "a") as log:
            log.write(json.dumps({"path": self.path, "headers": dict(self.headers)}) + "\n")
        self.close_connection = True
        if not self.path.startswith("/zolta/"):
            return self.plain(404)
        name = self.path[len("/zolta/"):]
        fault = faults(root).get(name, "normal")
        if isinstance(fault, str):
            fault = {"mode": fault}
        mode = fault.get("mode", "normal")
        if mode == "drop":
            return self.reset()
        if mode == "silent":
            time.sleep(float(fault.get("seconds", 60)))
            return
        if mode == "slowheaders":
            return self.slow_headers(float(fault.get("delay", 5)), float(fault.get("seconds", 60)))
        if mode in ("flood", "dribble"):
            return self.endless_head(mode, fault)
        if mode in ("301", "302"):
            self.send_response(int(mode))
            self.send_header("Location", self.path + ".moved")
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        if mode == "404":
            return self.plain(404)
        body = self.body(root, name, fault)
        if body is None:
            return self.plain(404)
        if fault.get("coding") == "gzip":
            data = gzip.compress(b"".join(data for data, _ in body.pieces(body.size, FAST)))
            body = Body(None, len(data), data)
        if mode in ("fin", "nolastchunk"):
            return self.unproven(body, mode, fault)
        self.serve(body, mode, fault)

    def unproven(self, body, mode, fault):
        chunked = mode == "nolastchunk"
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        if chunked:
            self.send_header("Transfer-Encoding", "chunked")
        self.send_header("Connection", "close")
        self.end_headers()
        try:
            for data, _ in body.pieces(int(fault.get("send", body.size)), FAST):
                self.wfile.write(b"%x\r\n%s\r\n" % (len(data), data) if chunked else data)
            self.wfile.flush()
            if chunked:
                return self.close_cleanly()
            # SSLSocket.shutdown drops the TLS layer first: a bare FIN, as anyone on the path
            # could inject.
            self.connection.shutdown(socket.SHUT_WR)
        except (OSError, ssl.SSLError):
            pass

    def body(self, root, name, fault):
        if "size" in fault:
            return Body(None, int(fault["size"]))
        path = os.path.realpath(os.path.join(root, name))
        if not path.startswith(os.path.realpath(root) + os.sep) or not os.path.isfile(path):
            return None
        return Body(path, os.path.getsize(path))

    def serve(self, body, mode, fault):
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        coding = fault.get("coding", [])
        for value in [coding] if isinstance(coding, str) else coding:
            self.send_header("Content-Encoding", value)
        chunked = mode == "chunked" or fault.get("chunked", False)
        if chunked:
            self.send_header("Transfer-Encoding", "chunked")
        elif mode == "length0":
            self.send_header("Content-Length", "0")
        elif mode != "close":
            self.send_header("Content-Length", str(fault.get("length", body.size)))
        self.send_header("Connection", "close")
        self.end_headers()
        if mode == "length0":
            return
        limit = body.size
        if mode in ("short", "reset", "stall"):
            limit = int(fault.get("send", body.size // 2))
        pace = self.trickle(fault, body.size) if mode == "trickle" else FAST
        try:
            for data, pause in body.pieces(limit, pace):
                if chunked:
                    self.wfile.write(b"%x\r\n%s\r\n" % (len(data), data))
                else:
                    self.wfile.write(data)
                if pause is not None:
                    self.wfile.flush()
                    time.sleep(pause)
            if chunked and limit == body.size:
                self.wfile.write(b"0\r\n\r\n")
            self.wfile.flush()
            if mode == "reset":
                time.sleep(0.2)  # lets the client take what was sent: the loss is mid-body
                return self.reset()
            if mode == "stall":
                self.stalled()
                time.sleep(float(fault.get("seconds", 60)))
            if mode in ("short", "close"):
                self.close_cleanly()  # the body just ends early
        except (OSError, ssl.SSLError):
            pass

    def trickle(self, fault, size):
        """trickle's pace: the hold, while it lasts, sends too little to end but enough that no
        read waits long, so a client is still downloading whenever its user acts."""
        chunk, delay = int(fault.get("chunk", 1024)), float(fault.get("delay", 0.02))
        until, after = fault.get("until"), int(fault.get("after", size // 2))
        go, told = until and os.path.join(self.server.root, until), []

        def pace(sent):
            if go and sent < after:
                return min(chunk, after - sent), delay  # the hold begins at after exactly
            if not go or os.path.exists(go):
                return chunk, delay
            if not told:
                told.append(True)
                self.stalled()
            return int(fault.get("keep", 128)), float(fault.get("pause", 2))
        return pace

    def stalled(self):
        with self.server.lock, open(os.path.join(self.server.root, "stalls.jsonl"), "a") as log:
            log.write(json.dumps({"path": self.path}) + "\n")

    def slow_headers(self, delay, seconds):
        # Every line is progress of a kind: only a bound on the whole head ends this.
        end = time.monotonic() + seconds
        try:
            self.wfile.write(b"HTTP/1.1 200 OK\r\n")
            self.wfile.flush()
            while time.monotonic() + delay < end:
                time.sleep(delay)
                self.wfile.write(b"X-Slow: 1\r\n")
                self.wfile.flush()
            time.sleep(max(0.0, end - time.monotonic()))
            self.wfile.write(b"Content-Length: 0\r\nConnection: close\r\n\r\n")
            self.wfile.flush()
        except (OSError, ssl.SSLError):
            pass

    def endless_head(self, mode, fault):
        # A head that never ends: a client must bound its size (flood) or the whole wait (dribble).
        end = time.monotonic() + float(fault.get("seconds", 60))
        head = b"HTTP/1.1 200 OK\r\n" + b"X-Endless: 1\r\n" * 64
        try:
            if mode == "flood":
                self.wfile.write(head[:17])
                while time.monotonic() < end:
                    self.wfile.write(head[17:] * 16)
            else:
                delay = float(fault.get("delay", 1))
                for i in range(len(head)):
                    if time.monotonic() >= end:
                        break
                    self.wfile.write(head[i:i + 1])
                    self.wfile.flush()
                    time.sleep(delay)
            self.wfile.flush()
        except (OSError, ssl.SSLError):
            pass

    def close_cleanly(self):
        # close_notify, then the TCP close. The client's close_notify is not awaited: a client
        # that does not answer one (Wine's WinHTTP) would otherwise keep the connection open
        # until its own receive time-out.
        self.connection.setblocking(False)
        while True:
            try:
                self.connection.unwrap()
                return
            except ssl.SSLWantWriteError:
                select.select([], [self.connection], [], 5)
            except ssl.SSLWantReadError:
                return

    def plain(self, status):
        self.send_response(status)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def reset(self):
        # SO_LINGER with a zero time-out turns the close into a TCP reset.
        self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.close_connection = True
        self.connection.close()


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, root, contexts):
        self.root, self.contexts, self.lock = root, contexts, threading.Lock()
        super().__init__(address, Handler)

    def get_request(self):
        sock, address = self.socket.accept()
        context = self.contexts.get(faults(self.root).get("tls"), self.contexts[None])
        # The handshake runs in the connection's own thread (Handler.setup).
        return context.wrap_socket(sock, server_side=True, do_handshake_on_connect=False), address


def context(cert, key):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(cert, key)
    return ctx


def main():
    parser = argparse.ArgumentParser(description="HTTPS test release server")
    parser.add_argument("--root", required=True)
    parser.add_argument("--certs", required=True, help="folder made by the network test runner")
    parser.add_argument("--address", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=443)
    parser.add_argument("--ready", help="file created once the server listens")
    args = parser.parse_args()
    c = lambda name: context(os.path.join(args.certs, name + ".crt"), os.path.join(args.certs, name + ".key"))
    contexts = {None: c("server"), "unknown-ca": c("unknown-ca"), "wrong-host": c("wrong-host")}
    server = Server((args.address, args.port), args.root, contexts)
    if args.ready:
        open(args.ready, "w").close()
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
