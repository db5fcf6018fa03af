#!/usr/bin/env python3
"""Fixture web server for the link-preview tests, bound to 127.0.0.1 only.

Prints its port on the first line of its output, then serves until killed
(with a file name as argument, each requested path is appended to it, one
line each, before it is answered; "--write-png PATH W H" writes such a PNG
and ends instead of serving):
  /page           a page with og:title, <link rel=icon> and og:image
  /article        the same with images that decode (a 32x32 icon, a 320x160 picture)
  /plain          <title> only; the icon comes from /favicon.ico
  /notimage       a page whose og:image is not an image
  /huge           50 MB of HTML (the title comes first)
  /never          answers nothing for a minute
  /redirect-ftp   a redirect to an ftp: address
  /hops/N         a chain of N redirects ending on /page
"""
import http.server
import socketserver
import struct
import sys
import time
import zlib

PNG = b"\x89PNG\r\n\x1a\n" + bytes(range(256)) * 4


def real_png(width, height, rgb):
    """A PNG of one colour with a lighter diagonal band."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    rows = bytearray()
    for y in range(height):
        rows.append(0)
        for x in range(width):
            light = abs(x * height // width - y) < height // 6
            rows.extend(bytes(min(255, c + 90) if light else c for c in rgb))
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(bytes(rows)))
            + chunk(b"IEND", b""))


ICON = real_png(32, 32, (200, 60, 40))
PICTURE = real_png(320, 160, (30, 90, 170))


class Handler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def send(self, body, kind="text/html; charset=utf-8", status=200, headers=()):
        self.send_response(status)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        for k, v in headers:
            self.send_header(k, v)
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        p = self.path
        if len(sys.argv) > 1:
            with open(sys.argv[1], "a") as log:
                log.write(p + "\n")
        if p == "/page":
            self.send(b"<!doctype html><html><head><title>Plain title</title>"
                      b"<meta property='og:title' content='  Open  Graph title '>"
                      b"<link rel='shortcut icon' href='/static/icon.png'>"
                      b"<meta property='og:image' content='images/og.png'></head><body>x</body></html>")
        elif p == "/article":
            self.send(b"<html><head><title>A field guide to gulls</title>"
                      b"<link rel='icon' href='/real-icon.png'>"
                      b"<meta property='og:image' content='/real-picture.png'></head><body>x</body></html>")
        elif p == "/real-icon.png":
            self.send(ICON, "image/png")
        elif p == "/real-picture.png":
            self.send(PICTURE, "image/png")
        elif p == "/plain":
            self.send(b"<html><head><title>\n Only a title \n</title></head></html>")
        elif p == "/notimage":
            self.send(b"<html><head><title>T</title><meta property='og:image' content='/fake.png'></head></html>")
        elif p in ("/static/icon.png", "/images/og.png", "/favicon.ico"):
            self.send(PNG, "image/png")
        elif p == "/fake.png":
            self.send(b"<html>not an image</html>", "image/png")
        elif p == "/huge":
            self.send_response(200)
            self.send_header("Content-Type", "text/html")
            self.end_headers()
            try:
                self.wfile.write(b"<html><head><title>Huge</title></head><body>")
                chunk = b"<p>" + b"x" * 1020 + b"</p>"
                for _ in range(50 * 1024):
                    self.wfile.write(chunk)
            except (BrokenPipeError, ConnectionResetError):
                pass
        elif p == "/never":
            time.sleep(60)
        elif p == "/redirect-ftp":
            self.send(b"", status=302, headers=[("Location", "ftp://127.0.0.1/file")])
        elif p.startswith("/hops/"):
            n = int(p.split("/")[2])
            target = "/page" if n <= 1 else "/hops/%d" % (n - 1)
            self.send(b"", status=302, headers=[("Location", target)])
        else:
            self.send(b"missing", status=404)


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True


if len(sys.argv) == 5 and sys.argv[1] == "--write-png":
    with open(sys.argv[2], "wb") as out:
        out.write(real_png(int(sys.argv[3]), int(sys.argv[4]), (40, 140, 90)))
    sys.exit(0)

server = Server(("127.0.0.1", 0), Handler)
print(server.server_address[1], flush=True)
server.serve_forever()
