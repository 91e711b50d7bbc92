#!/usr/bin/env python3
"""The local servers of the soak run (bench/soak.sh), both on 127.0.0.1 only.

    servers.py --root DIR --ports-file FILE

- The web server serves the files under DIR (the generated site the crawls check, whose
  links are absolute paths from the root), and besides them, under a folder the site
  generator never names:
    /soak/page/N.html   200, a small page saying "Soak page N" and "all systems nominal"
    /soak/status/CODE   that status code (404, 500, ...) with a short body
    /soak/links.html    a page linking to the site's home page and to a page that is not
                        there, so that a crawl starting from it finds one broken link
- The hook counts the HTTP alerts it gets (any request under /alert) and answers
  GET /count with "alerts N" and "web_requests M", one per line.

Each server listens on a port the kernel picks, so that parallel runs and other programs on
the machine never collide; once both listen, "WEB_PORT HOOK_PORT" is written to the ports
file (written to a temporary name and renamed, so a reader never sees half a line).
SIGTERM and SIGINT end both.
"""
import argparse
import os
import signal
import sys
import threading
from functools import partial
from http.server import SimpleHTTPRequestHandler, ThreadingHTTPServer, BaseHTTPRequestHandler


class Counters:
    """Totals shared by the handler threads."""

    def __init__(self):
        self.lock = threading.Lock()
        self.alerts = 0
        self.web_requests = 0

    def add(self, name):
        with self.lock:
            setattr(self, name, getattr(self, name) + 1)

    def snapshot(self):
        with self.lock:
            return self.alerts, self.web_requests


COUNTERS = Counters()


def send_text(handler, status, text, content_type="text/plain; charset=utf-8"):
    body = text.encode("utf-8")
    handler.send_response(status)
    handler.send_header("Content-Type", content_type)
    handler.send_header("Content-Length", str(len(body)))
    handler.end_headers()
    if handler.command != "HEAD":
        handler.wfile.write(body)


class WebHandler(SimpleHTTPRequestHandler):
    def do_GET(self):
        COUNTERS.add("web_requests")
        path = self.path.split("?", 1)[0]
        if path.startswith("/soak/page/"):
            name = path[len("/soak/page/"):].removesuffix(".html")
            send_text(self, 200,
                      f"<html><head><title>Soak page {name}</title></head>"
                      f"<body><h1>Soak page {name}</h1><p>all systems nominal</p></body></html>\n",
                      "text/html; charset=utf-8")
        elif path == "/soak/links.html":
            send_text(self, 200,
                      '<html><body><a href="/index.html">the site</a> <a href="/soak/gone.html">gone</a>'
                      "</body></html>\n", "text/html; charset=utf-8")
        elif path.startswith("/soak/status/"):
            code = path[len("/soak/status/"):]
            status = int(code) if code.isdigit() and 200 <= int(code) <= 599 else 400
            send_text(self, status, f"status {status}\n")
        else:
            super().do_GET()

    def do_HEAD(self):
        self.do_GET()

    def log_message(self, format, *args):  # noqa: A002 - the base class's name
        pass  # thousands of requests a minute: the counters say enough


class HookHandler(BaseHTTPRequestHandler):
    def do_GET(self):
        if self.path.startswith("/alert"):
            COUNTERS.add("alerts")
            send_text(self, 200, "ok\n")
        elif self.path == "/count":
            alerts, web = COUNTERS.snapshot()
            send_text(self, 200, f"alerts {alerts}\nweb_requests {web}\n")
        else:
            send_text(self, 404, "unknown\n")

    def do_POST(self):
        length = int(self.headers.get("Content-Length") or 0)
        if length:
            self.rfile.read(length)
        self.do_GET()

    def log_message(self, format, *args):  # noqa: A002
        pass


class Server(ThreadingHTTPServer):
    daemon_threads = True
    # Many tasks fall due in the same second; the default backlog of 5 would make the kernel
    # drop connection attempts and clients wait a second for the retry.
    request_queue_size = 256


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", required=True, help="folder the web server serves")
    parser.add_argument("--ports-file", required=True, help="where 'WEB_PORT HOOK_PORT' is written")
    args = parser.parse_args()

    web = Server(("127.0.0.1", 0), partial(WebHandler, directory=args.root))
    hook = Server(("127.0.0.1", 0), HookHandler)
    threads = [threading.Thread(target=s.serve_forever, daemon=True) for s in (web, hook)]
    for thread in threads:
        thread.start()

    temporary = args.ports_file + ".tmp"
    with open(temporary, "w", encoding="ascii") as out:
        out.write(f"{web.server_address[1]} {hook.server_address[1]}\n")
    os.replace(temporary, args.ports_file)

    stop = threading.Event()
    for number in (signal.SIGTERM, signal.SIGINT):
        signal.signal(number, lambda *_: stop.set())
    stop.wait()
    for server in (web, hook):
        server.shutdown()
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
