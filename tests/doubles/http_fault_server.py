#!/usr/bin/env python3
"""HTTP (and HTTPS) server with faults on demand, for the internet client's tests.

Binds 127.0.0.1 on a free port and prints "PORT <n>" on its first line. Files are served from
--root. The first path component chooses the behaviour; the rest names a file below the root:

  /file/NAME            the file, with its length; ".html" files as text/html
  /attachment/NAME      the file as an attachment (Content-Disposition), to be downloaded
  /cut/N/K/NAME         the file's length announced, N bytes sent, then the connection closed;
                        only the first K requests of this path, later ones get the whole file
  /stall/N/NAME         N bytes sent, then nothing more (for 30 s at most)
  /silent/ANYTHING      the request is read, then nothing is sent (for 10 minutes at most)
  /drip/MS/NAME         the file with its length, sent 100 bytes at a time, MS milliseconds apart
  /trickle/N/MS/NAME    the file with its length, sent N bytes at a time, MS milliseconds apart
  /huge/N/NAME          a length of N announced, the file sent over and over until the client goes
  /short/NAME           100 bytes more announced than sent, then closed
  /nolength/NAME        the file without a length, ended by closing
  /redirect/NAME        302 to /file/NAME
  /status/CODE          that status with an HTML page ("404", "500", ...)
  /size/N               a length of N announced, a few bytes sent, then closed
  /auth/USER/PASS/NAME  the file when the request carries those basic credentials, else 401
  /count/PATH           how many requests PATH has had so far
HEAD is refused with 405 on every path. With --log FILE every request's method and path are
appended to FILE, one line each, before it is answered. POST:
  /echo                 the request's body as the reply
  /form                 the body parsed as multipart/form-data by Python's own parser, replied as
                        lines: "content-type <value>", "body <hex>", "defects <count>", then per
                        field "field <name> <file name or -> <bytes>", each in hex
  /status/CODE          that status with an HTML page
"""
import argparse
import base64
import http.server
import os
import ssl
import threading
import time
from email import policy
from email.parser import BytesParser

counts = {}
counts_lock = threading.Lock()
ROOT = "."
LOG = None


def bump(path):
    with counts_lock:
        counts[path] = counts.get(path, 0) + 1
        return counts[path]


def record(line):
    if LOG:
        with open(LOG, "a") as f:
            f.write(line + "\n")


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):
        pass

    def send_bytes(self, status, body, length=None, ctype="application/octet-stream", extra=None):
        self.send_response(status)
        self.send_header("Content-Type", ctype)
        if length is not None:
            self.send_header("Content-Length", str(length))
        for k, v in (extra or {}).items():
            self.send_header(k, v)
        if length is None:
            self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(body)
        self.wfile.flush()

    def page(self, status):
        body = ("<html><body><h1>%d</h1></body></html>\n" % status).encode()
        self.send_bytes(status, body, len(body), "text/html")

    def read_file(self, name):
        path = os.path.join(ROOT, name)
        if ".." in name.split("/") or not os.path.isfile(path):
            return None
        with open(path, "rb") as f:
            return f.read()

    def do_HEAD(self):
        self.send_response(405)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def do_GET(self):
        full = self.path.split("?", 1)[0]
        with counts_lock:
            record("GET " + self.path)
        count = bump(full)
        parts = full.lstrip("/").split("/")
        mode, rest = parts[0], parts[1:]
        try:
            self.dispatch(mode, rest, count)
        except (BrokenPipeError, ConnectionResetError):
            pass

    def do_POST(self):
        with counts_lock:
            record("POST " + self.path)
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        parts = self.path.lstrip("/").split("/")
        try:
            if parts[0] == "echo":
                return self.send_bytes(200, body, len(body))
            if parts[0] == "status":
                return self.page(int(parts[1]))
            if parts[0] == "form":
                reply = self.describe_form(body).encode()
                return self.send_bytes(200, reply, len(reply), "text/plain")
            self.page(404)
        except (BrokenPipeError, ConnectionResetError):
            pass

    def describe_form(self, body):
        ctype = self.headers.get("Content-Type", "")
        message = BytesParser(policy=policy.HTTP).parsebytes(b"Content-Type: " + ctype.encode() + b"\r\n\r\n" + body)
        lines = ["content-type " + ctype, "body " + body.hex(), "defects %d" % len(message.defects)]
        for part in message.iter_parts() if message.is_multipart() else []:
            name = part.get_param("name", header="content-disposition")
            filename = part.get_filename()
            lines.append("field %s %s %s" % (name.encode("utf-8", "surrogateescape").hex(),
                                             filename.encode("utf-8", "surrogateescape").hex() if filename else "-",
                                             part.get_payload(decode=True).hex()))
        return "\n".join(lines) + "\n"

    def dispatch(self, mode, rest, count):
        if mode == "silent":
            time.sleep(600)
            self.close_connection = True
            return
        if mode == "count":
            body = str(counts.get("/" + "/".join(rest), 0)).encode()
            return self.send_bytes(200, body, len(body), "text/plain")
        if mode == "status":
            return self.page(int(rest[0]))
        if mode == "size":
            self.send_response(200)
            self.send_header("Content-Length", rest[0])
            self.end_headers()
            self.wfile.write(b"0123456789")
            self.wfile.flush()
            self.close_connection = True
            return
        if mode == "redirect":
            self.send_response(302)
            self.send_header("Location", "/file/" + "/".join(rest))
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        if mode == "auth":
            user, password, rest = rest[0], rest[1], rest[2:]
            want = "Basic " + base64.b64encode(("%s:%s" % (user, password)).encode()).decode()
            if self.headers.get("Authorization") != want:
                return self.page(401)
            mode = "file"
        if mode == "cut":
            after, times, rest = int(rest[0]), int(rest[1]), rest[2:]
        if mode in ("stall", "drip"):
            after, rest = int(rest[0]), rest[1:]
        if mode == "trickle":
            piece, after, rest = int(rest[0]), int(rest[1]), rest[2:]
        if mode == "huge":
            announced, rest = int(rest[0]), rest[1:]
        data = self.read_file("/".join(rest))
        if data is None:
            return self.page(404)
        if mode == "attachment":
            return self.send_bytes(200, data, len(data), "text/plain",
                                   {"Content-Disposition": "attachment; filename=\"%s\"" % rest[-1]})
        if mode == "trickle":
            self.send_response(200)
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            for at in range(0, len(data), piece):
                self.wfile.write(data[at:at + piece])
                self.wfile.flush()
                time.sleep(after / 1000.0)
            return
        if mode == "huge":
            self.send_response(200)
            self.send_header("Content-Length", str(announced))
            self.end_headers()
            sent = 0
            while sent < announced and data:
                self.wfile.write(data[:announced - sent])
                sent += min(len(data), announced - sent)
            self.wfile.flush()
            return
        if mode == "drip":
            self.send_response(200)
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            for at in range(0, len(data), 100):
                self.wfile.write(data[at:at + 100])
                self.wfile.flush()
                time.sleep(after / 1000.0)
            return
        if mode == "file" or (mode == "cut" and count > times):
            ctype = "text/html" if rest[-1].endswith(".html") else "application/octet-stream"
            return self.send_bytes(200, data, len(data), ctype)
        if mode == "nolength":
            self.close_connection = True
            return self.send_bytes(200, data, None)
        if mode in ("cut", "stall", "short"):
            announced = len(data) + 100 if mode == "short" else len(data)
            sent = data if mode == "short" else data[:after]
            self.send_response(200)
            self.send_header("Content-Length", str(announced))
            self.end_headers()
            self.wfile.write(sent)
            self.wfile.flush()
            if mode == "stall":
                time.sleep(30)
            self.close_connection = True
            return
        self.page(404)


def main():
    global ROOT, LOG
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--log")
    args = parser.parse_args()
    ROOT = args.root
    LOG = args.log
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    if args.cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.cert, args.key)
        server.socket = context.wrap_socket(server.socket, server_side=True)
    print("PORT %d" % server.server_address[1], flush=True)
    # Runs until the test kills it.
    server.serve_forever()


if __name__ == "__main__":
    main()
