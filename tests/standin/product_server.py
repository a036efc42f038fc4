#!/usr/bin/env python3
"""Stand-in product server for parambridge: serves parameter sets on loopback.

usage: product_server.py --params FILE [--bind 127.0.0.1] [--http-port 80]
                         [--https-port 443] [--cert-dir DIR]
                         [--ready-file PATH] [--log PATH]
                         [--base-path /parambridge/] [--control]

It answers POST <base path>run/ with the reply format: the standard Base64
(with "=" padding, on one line) of name=value&name=value... The body of the
request is the module's unescaped form: account=TEXT&accountType=INTEGER.

Parameter file (JSON, UTF-8):

  {
    "accounts": {
      "12345": {"*": {"func101": 1.5, "func102": 0.00025, "func103": 12345.678}},
      "777":   {"0": {"func101": 1}, "1": {"func101": 2}},
      "*":     {"*": {"func101": 9}}
    }
  }

  "accounts" maps an account text to an object that maps an account type
  (a decimal integer as text, or "*" for any type) to a parameter set. An
  account "*" stands for every account that is not listed. The exact type
  wins over "*". A parameter set maps names to values; a value is a JSON
  number (written in Python's shortest round-trip form: 0.1 goes out as
  "0.1") or a string (sent verbatim, so "1e2" stays "1e2"). Names and values
  must be non-empty and hold no "=", "&" or NUL; "error" and "errorD" are the
  server's own and may not appear.

Statuses it sends (the "error" entry; above 100 with an "errorD" text):

  100  success, followed by the parameters in file order
  201  Unknown account             (no entry and no "*" account)
  202  Unknown account type        (the account is listed, its type is not)
  400  Malformed request           (a field is missing, accountType is not a
                                    decimal 32-bit integer)
  404  Unknown path                (any target other than <base path>run/)
  405  Method not allowed          (anything but POST)

Replies go out with HTTP status 200, except 404 and 405 which use those HTTP
codes (the module never looks at the HTTP status).

--https-port 0 disables https. The certificate is <cert-dir>/server.crt with
<cert-dir>/server.key; when missing, a self-signed one for 127.0.0.1 is made
with the openssl command (default cert dir: build/certs of the checkout, or a
temporary directory when that is not writable).

--ready-file is written with the pid once every port listens, and removed at
a clean stop. One log line per request goes to stderr and to --log. SIGTERM
and SIGINT stop the server with exit status 0. A port that is taken, or a
bind address outside 127.0.0.0/8, ends it with exit status 2.

--control (for tests) adds a control interface under /_pb/ on the same ports:
  GET  /_pb/log      JSON list of the requests seen so far (control requests
                     excluded): port, peer (client address:port, one per
                     connection), tls, method, target, version, headers
                     ([name, value] in order), body_b64, body_cut (true when
                     the client closed before sending the Content-Length it
                     declared; such a request gets no reply)
  POST /_pb/reset    clears the log and the script
  POST /_pb/script   JSON list of scripted replies, appended to the queue.
                     Each request to any non-control target takes the next
                     one; with the queue empty the parameter file answers.
  POST /_pb/cert     {"cert": PATH, "key": PATH}: the https port presents
                     this certificate to new connections
  POST /_pb/release  lets one held reply go (see "hold"); a reset or a stop
                     lets every held reply go
A scripted reply is an object with:
  "status"   HTTP status code (default 200)
  "pairs"    [[name, value], ...]: encoded in the reply format
  "body"     text sent as ISO-8859-1 bytes, or "body_b64": raw bytes
  "mode"     "length" (default: Content-Length), "chunked", "close" (no
             length, the end of the connection ends the body), "short"
             (Content-Length is "missing" bytes more than sent, then the
             connection closes), "drop" (close without any response)
  "pieces"   byte counts to cut the body at; each piece is written and
             flushed on its own (one chunk each in chunked mode)
  "pause_ms" pause after each piece (default 0)
  "headers"  [[name, value], ...] extra response headers
  "last_chunk" false: a chunked body ends without its last chunk, and the
             connection closes (a body cut between chunks)
  "chunk_missing" n: the last data chunk declares n bytes more than are
             sent, then the connection closes (a body cut inside a chunk)
  "reset"    true: the connection ends with a reset (RST) after the body
             instead of an orderly close: what a read that fails looks like
  "hold"     true: nothing of the reply is sent until /_pb/release lets it
             go (at most HOLD_LIMIT_S seconds): a server that does not answer
"""

import argparse
import base64
import errno
import http.server
import ipaddress
import json
import os
import signal
import socket
import socketserver
import ssl
import struct
import subprocess
import sys
import tempfile
import threading
import time

EXIT_USAGE = 2
CONTROL_PREFIX = "/_pb/"

STATUS_OK = 100
STATUS_UNKNOWN_ACCOUNT = (201, "Unknown account")
STATUS_UNKNOWN_TYPE = (202, "Unknown account type")
STATUS_MALFORMED = (400, "Malformed request")
STATUS_NOT_FOUND = (404, "Unknown path")
STATUS_BAD_METHOD = (405, "Method not allowed")

INT32_MIN, INT32_MAX = -2**31, 2**31 - 1

HOLD_LIMIT_S = 120  # the longest a held reply waits for its release


class ConfigError(Exception):
    pass


def fail(message):
    print("product_server: " + message, file=sys.stderr)
    sys.exit(EXIT_USAGE)


# ---------------------------------------------------------------------------
# Reply format and parameter file

def encode_reply(pairs):
    """Base64 (standard alphabet, padded, one line) of name=value&..."""
    inner = "&".join("%s=%s" % (n, v) for n, v in pairs).encode("latin-1")
    return base64.b64encode(inner)


def format_value(value):
    if isinstance(value, bool) or value is None:
        raise ConfigError("values must be numbers or strings, got %r" % (value,))
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        return repr(value)
    if isinstance(value, str):
        return value
    raise ConfigError("values must be numbers or strings, got %r" % (value,))


def check_token(what, text):
    if not text or any(c in text for c in "=&\0"):
        raise ConfigError("%s %r must be non-empty without '=', '&' or NUL" % (what, text))
    try:
        text.encode("latin-1")
    except UnicodeEncodeError:
        raise ConfigError("%s %r must be ISO-8859-1 text" % (what, text))


def load_params(path):
    """Returns {account: {type: [(name, value), ...]}} from the parameter file."""
    try:
        with open(path, encoding="utf-8") as f:
            doc = json.load(f)
    except (OSError, ValueError) as e:
        raise ConfigError("cannot read %s: %s" % (path, e))
    if not isinstance(doc, dict) or not isinstance(doc.get("accounts"), dict):
        raise ConfigError("%s: the top level must be an object with \"accounts\"" % path)
    table = {}
    for account, types in doc["accounts"].items():
        if not isinstance(types, dict):
            raise ConfigError("account %r: expected an object of account types" % account)
        table[account] = {}
        for type_key, params in types.items():
            if type_key != "*":
                try:
                    if str(int(type_key)) != type_key:
                        raise ValueError
                except ValueError:
                    raise ConfigError("account %r: type %r is neither a decimal integer nor \"*\""
                                      % (account, type_key))
            if not isinstance(params, dict):
                raise ConfigError("account %r type %r: expected an object of parameters"
                                  % (account, type_key))
            pairs = []
            for name, value in params.items():
                if name in ("error", "errorD"):
                    raise ConfigError("account %r: %r is set by the server" % (account, name))
                check_token("name", name)
                text = format_value(value)
                check_token("value of %s" % name, text)
                pairs.append((name, text))
            table[account][type_key] = pairs
    return table


def parse_form(body):
    """The module's form body: name=value pairs split on '&', unescaped."""
    fields = {}
    for item in body.split(b"&"):
        name, sep, value = item.partition(b"=")
        if sep and name not in fields:
            fields[name] = value
    return fields


def answer_run(table, body):
    """(pairs, summary) for a POST to the run endpoint."""
    fields = parse_form(body)
    account = fields.get(b"account")
    type_text = fields.get(b"accountType")
    if account is None or type_text is None:
        return error_pairs(STATUS_MALFORMED), "missing field"
    try:
        t = type_text.decode("ascii")
        account_type = int(t)
        if t.strip() != t or "_" in t or not INT32_MIN <= account_type <= INT32_MAX:
            raise ValueError
    except ValueError:
        return error_pairs(STATUS_MALFORMED), "bad accountType"
    account = account.decode("latin-1")
    types = table.get(account, table.get("*"))
    if types is None:
        return error_pairs(STATUS_UNKNOWN_ACCOUNT), "unknown account"
    params = types.get(str(account_type), types.get("*"))
    if params is None:
        return error_pairs(STATUS_UNKNOWN_TYPE), "unknown account type"
    return [("error", str(STATUS_OK))] + params, "ok"


def error_pairs(status):
    return [("error", str(status[0])), ("errorD", status[1])]


# ---------------------------------------------------------------------------
# HTTP

class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "product_server/1.0"
    sys_version = ""

    def setup(self):
        super().setup()
        self.close_after = False
        self.reset_at_end = False

    def finish(self):
        super().finish()
        if self.reset_at_end:
            # SO_LINGER with a zero time-out: close() sends RST at once, with
            # no FIN before it (the server's own shutdown then finds the
            # socket closed, which it ignores).
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                       struct.pack("ii", 1, 0))
            self.connection.close()

    def handle_one_request(self):
        # The module's client sends the request headers and the body in two
        # writes with Nagle's algorithm on, so the body waits for the ACK of
        # the headers. On a kept-alive connection Linux delays that ACK by
        # about 40 ms unless quick ACKs are asked for anew before each request.
        if hasattr(socket, "TCP_QUICKACK"):
            try:
                self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_QUICKACK, 1)
            except OSError:
                pass
        super().handle_one_request()

    def log_message(self, fmt, *args):  # the server's own log lines only
        pass

    def do_GET(self):
        self.handle_any()

    do_POST = do_PUT = do_DELETE = do_HEAD = do_OPTIONS = do_PATCH = do_GET

    def read_body(self):
        if "chunked" in self.headers.get("Transfer-Encoding", "").lower():
            data = b""
            while True:
                size = int(self.rfile.readline().split(b";")[0].strip() or b"0", 16)
                if size == 0:
                    while self.rfile.readline() not in (b"\r\n", b"\n", b""):
                        pass
                    return data
                data += self.rfile.read(size)
                self.rfile.readline()
        length = int(self.headers.get("Content-Length") or 0)
        return self.rfile.read(length) if length > 0 else b""

    def handle_any(self):
        # A stop waits for the requests being answered, so that each reply
        # the client got has its log line.
        self.server.state.begin()
        try:
            self.answer()
        finally:
            self.server.state.end()

    def answer(self):
        state = self.server.state
        try:
            body = self.read_body()
        except (ValueError, OSError):
            self.close_connection = True
            return
        if self.headers.get("Connection", "").lower() == "close":
            self.close_connection = True
        if state.control and self.path.startswith(CONTROL_PREFIX):
            self.handle_control(body)
            return
        declared = self.headers.get("Content-Length", "")
        cut = declared.isdigit() and len(body) < int(declared)
        state.record({
            "port": self.server.server_address[1],
            "peer": "%s:%d" % self.client_address[:2],
            "tls": self.server.tls,
            "method": self.command,
            "target": self.path,
            "version": self.request_version,
            "headers": [[k, v] for k, v in self.headers.items()],
            "body_b64": base64.b64encode(body).decode("ascii"),
            "body_cut": cut,
        })
        if cut:
            # The client went away before its body was whole (a client that
            # refused this server's key does so): nothing to answer.
            state.log_line(self, 0, "request body cut short (%d of %s bytes); no reply"
                           % (len(body), self.headers.get("Content-Length")), body)
            self.close_connection = True
            return
        # Each request's log line is written before its reply: a client that
        # waits for one reply before its next request then finds the lines in
        # the order of its requests.
        script = state.next_script()
        if script is not None:
            mode = script.get("mode", "length")
            status = 0 if mode == "drop" else int(script.get("status", 200))
            state.log_line(self, status, "scripted %s" % mode, body)
            if script.get("hold"):
                state.hold()
            self.send_scripted(script)
            return
        if self.command != "POST":
            status, pairs, summary = 405, error_pairs(STATUS_BAD_METHOD), "wrong method"
        elif self.path != state.base_path + "run/":
            status, pairs, summary = 404, error_pairs(STATUS_NOT_FOUND), "wrong path"
        else:
            status = 200
            pairs, summary = answer_run(state.table, body)
        state.log_line(self, status,
                       "%s -> %s" % (summary, "&".join("%s=%s" % p for p in pairs[:2])), body)
        self.send_plain(status, encode_reply(pairs))

    def send_plain(self, status, payload, content_type="text/plain"):
        self.send_response_only(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(payload)))
        if self.close_connection:
            self.send_header("Connection", "close")
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(payload)
        self.wfile.flush()

    def send_scripted(self, script):
        mode = script.get("mode", "length")
        if mode == "drop":
            self.close_connection = True
            return
        if "pairs" in script:
            payload = encode_reply([(str(n), str(v)) for n, v in script["pairs"]])
        elif "body_b64" in script:
            payload = base64.b64decode(script["body_b64"])
        else:
            payload = script.get("body", "").encode("latin-1")
        status = int(script.get("status", 200))
        pieces = []
        rest = payload
        for n in script.get("pieces", []):
            pieces.append(rest[:n])
            rest = rest[n:]
        if rest or not pieces:
            pieces.append(rest)
        pause = script.get("pause_ms", 0) / 1000.0

        self.send_response_only(status)
        for name, value in script.get("headers", []):
            self.send_header(name, value)
        if mode == "length":
            self.send_header("Content-Length", str(len(payload)))
        elif mode == "short":
            self.send_header("Content-Length", str(len(payload) + int(script.get("missing", 100))))
            self.close_connection = True
        elif mode == "chunked":
            self.send_header("Transfer-Encoding", "chunked")
        elif mode == "close":
            self.send_header("Connection", "close")
            self.close_connection = True
        else:
            raise ValueError("unknown mode %r" % mode)
        self.end_headers()
        self.wfile.flush()
        missing = int(script.get("chunk_missing", 0))
        whole = script.get("last_chunk", True) and not missing
        for k, piece in enumerate(pieces):
            if mode == "chunked":
                if k == len(pieces) - 1 and missing:
                    self.wfile.write(b"%x\r\n%s" % (len(piece) + missing, piece))
                elif piece:
                    self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
            else:
                self.wfile.write(piece)
            self.wfile.flush()
            if pause:
                time.sleep(pause)
        if mode == "chunked" and whole:
            self.wfile.write(b"0\r\n\r\n")
            self.wfile.flush()
        if mode == "chunked" and not whole:
            self.close_connection = True
        if script.get("reset"):
            self.close_connection = True
            self.reset_at_end = True  # see finish()
            return
        if self.close_connection:
            # An orderly end of the stream is what a server that dies midway
            # looks like to the client.
            try:
                self.connection.shutdown(socket.SHUT_WR)
            except OSError:
                pass

    def handle_control(self, body):
        state = self.server.state
        op = self.path[len(CONTROL_PREFIX):]
        try:
            if op == "log" and self.command == "GET":
                payload = json.dumps(state.snapshot()).encode("utf-8")
            elif op == "reset" and self.command == "POST":
                state.reset()
                payload = b"{}"
            elif op == "script" and self.command == "POST":
                items = json.loads(body.decode("utf-8"))
                if not isinstance(items, list):
                    raise ValueError("a script is a JSON list")
                state.add_script(items)
                payload = b"{}"
            elif op == "release" and self.command == "POST":
                state.release()
                payload = b"{}"
            elif op == "cert" and self.command == "POST":
                paths = json.loads(body.decode("utf-8"))
                state.set_certificate(paths["cert"], paths["key"])
                payload = b"{}"
            else:
                self.send_plain(404, b'{"error": "no such control operation"}', "application/json")
                return
        except (ValueError, KeyError, OSError, ssl.SSLError) as e:
            self.send_plain(400, json.dumps({"error": str(e)}).encode("utf-8"), "application/json")
            return
        self.send_plain(200, payload, "application/json")


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, state, tls):
        self.state = state
        self.tls = tls
        super().__init__(address, Handler)

    def get_request(self):
        sock, addr = super().get_request()
        # Without it, a reply's header and body writes meet the client's
        # delayed ACK and every exchange stalls for about 40 ms.
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        if self.tls:
            # The handshake runs in the handler's thread (see finish_request),
            # with whatever certificate is current when the client connects.
            sock = self.state.tls_context.wrap_socket(sock, server_side=True,
                                                      do_handshake_on_connect=False)
        return sock, addr

    def finish_request(self, request, client_address):
        if self.tls:
            try:
                request.settimeout(30)
                request.do_handshake()
                request.settimeout(None)
            except (OSError, ssl.SSLError) as e:
                self.state.log_raw("%s TLS handshake failed on port %d: %s"
                                   % (client_address[0], self.server_address[1], e))
                return
        super().finish_request(request, client_address)

    def handle_error(self, request, client_address):
        self.state.log_raw("%s connection error on port %d: %s"
                           % (client_address[0], self.server_address[1], sys.exc_info()[1]))


class State:
    def __init__(self, table, base_path, control, log_file):
        self.table = table
        self.base_path = base_path
        self.control = control
        self.log_file = log_file
        self.lock = threading.Lock()
        self.idle = threading.Condition(self.lock)
        self.busy = 0
        self.requests = []
        self.script = []
        self.tls_context = None
        self.held = 0  # replies waiting in hold()
        self.releases = threading.Semaphore(0)

    def begin(self):
        with self.lock:
            self.busy += 1

    def end(self):
        with self.lock:
            self.busy -= 1
            self.idle.notify_all()

    def wait_idle(self, timeout):
        """Waits until no request is being answered (at most timeout s)."""
        with self.lock:
            self.idle.wait_for(lambda: self.busy == 0, timeout)

    def record(self, entry):
        with self.lock:
            self.requests.append(entry)

    def snapshot(self):
        with self.lock:
            return list(self.requests)

    def reset(self):
        with self.lock:
            self.requests = []
            self.script = []
        self.release_all()

    def hold(self):
        """Waits until release() lets this reply go (at most HOLD_LIMIT_S)."""
        with self.lock:
            self.held += 1
            releases = self.releases
        try:
            releases.acquire(timeout=HOLD_LIMIT_S)
        finally:
            with self.lock:
                self.held -= 1

    def release(self):
        with self.lock:
            self.releases.release()

    def release_all(self):
        """Lets every held reply go, and forgets releases given before any hold."""
        with self.lock:
            old, self.releases = self.releases, threading.Semaphore(0)
            if self.held:
                old.release(self.held)

    def add_script(self, items):
        for item in items:
            if not isinstance(item, dict):
                raise ValueError("each scripted reply is an object")
        with self.lock:
            self.script.extend(items)

    def next_script(self):
        with self.lock:
            return self.script.pop(0) if self.script else None

    def set_certificate(self, cert, key):
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        self.tls_context = context

    def log_line(self, handler, status, what, body):
        shown = body[:120].decode("latin-1").encode("unicode_escape").decode("ascii")
        self.log_raw('%s %s:%d "%s %s %s" %s body="%s" %s' % (
            handler.client_address[0], "https" if handler.server.tls else "http",
            handler.server.server_address[1], handler.command, handler.path,
            handler.request_version, status, shown, what))

    def log_raw(self, text):
        line = "%s %s" % (time.strftime("%Y-%m-%dT%H:%M:%S"), text)
        with self.lock:
            print(line, file=sys.stderr, flush=True)
            if self.log_file:
                self.log_file.write(line + "\n")
                self.log_file.flush()


# ---------------------------------------------------------------------------
# Start-up

def default_cert_dir():
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    candidate = os.path.join(root, "build", "certs")
    try:
        os.makedirs(candidate, exist_ok=True)
        if os.access(candidate, os.W_OK):
            return candidate
    except OSError:
        pass
    return tempfile.mkdtemp(prefix="product-server-certs-")


def ensure_certificate(cert_dir):
    cert = os.path.join(cert_dir, "server.crt")
    key = os.path.join(cert_dir, "server.key")
    if os.path.exists(cert) and os.path.exists(key):
        return cert, key
    os.makedirs(cert_dir, exist_ok=True)
    cmd = ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256",
           "-days", "3650", "-subj", "/CN=127.0.0.1",
           "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost",
           "-keyout", key, "-out", cert]
    try:
        subprocess.run(cmd, check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.PIPE)
    except FileNotFoundError:
        fail("https needs the openssl command to make a certificate (or use --https-port 0)")
    except subprocess.CalledProcessError as e:
        fail("openssl could not make a certificate: %s" % e.stderr.decode(errors="replace"))
    return cert, key


def bind(address, port, state, tls):
    try:
        return Server((address, port), state, tls)
    except OSError as e:
        scheme = "https" if tls else "http"
        if e.errno == errno.EADDRINUSE:
            fail("%s port %d on %s is already in use" % (scheme, port, address))
        if e.errno == errno.EACCES:
            fail("no permission to bind %s port %d on %s" % (scheme, port, address))
        fail("cannot bind %s port %d on %s: %s" % (scheme, port, address, e.strerror))


def parse_args(argv):
    p = argparse.ArgumentParser(
        prog="product_server.py",
        description=__doc__.split("\n\n", 1)[0],
        epilog=__doc__.split("\n\n", 2)[2],
        formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--params", required=True, metavar="FILE", help="parameter file (JSON)")
    p.add_argument("--bind", default="127.0.0.1", help="address in 127.0.0.0/8 (default 127.0.0.1)")
    p.add_argument("--http-port", type=int, default=80, help="default 80")
    p.add_argument("--https-port", type=int, default=443, help="default 443; 0 disables https")
    p.add_argument("--cert-dir", metavar="DIR", help="holds server.crt and server.key")
    p.add_argument("--ready-file", metavar="PATH", help="written with the pid once ready")
    p.add_argument("--log", metavar="PATH", help="request log (appended), besides stderr")
    p.add_argument("--base-path", default="/parambridge/",
                   help="path before run/, beginning and ending with '/' (default /parambridge/)")
    p.add_argument("--control", action="store_true", help="enable the /_pb/ test interface")
    return p.parse_args(argv)


def main(argv):
    args = parse_args(argv)
    try:
        if ipaddress.ip_address(args.bind) not in ipaddress.ip_network("127.0.0.0/8"):
            raise ValueError
    except ValueError:
        fail("--bind must be an IPv4 address in 127.0.0.0/8, got %r" % args.bind)
    if not args.base_path.startswith("/") or not args.base_path.endswith("/"):
        fail("--base-path must begin and end with '/'")
    for name, port in (("--http-port", args.http_port), ("--https-port", args.https_port)):
        if not 0 <= port <= 65535 or (name == "--http-port" and port == 0):
            fail("%s %d is out of range" % (name, port))
    try:
        table = load_params(args.params)
    except ConfigError as e:
        fail(str(e))

    log_file = open(args.log, "a", encoding="utf-8") if args.log else None
    state = State(table, args.base_path, args.control, log_file)
    servers = [bind(args.bind, args.http_port, state, tls=False)]
    if args.https_port:
        cert, key = ensure_certificate(args.cert_dir or default_cert_dir())
        try:
            state.set_certificate(cert, key)
        except (OSError, ssl.SSLError) as e:
            fail("cannot load the certificate %s: %s" % (cert, e))
        servers.append(bind(args.bind, args.https_port, state, tls=True))

    # SIGTERM and SIGINT are taken synchronously: blocked before any thread
    # starts (threads inherit the mask), then awaited with sigwait. A handler
    # that set an Event could deadlock: it runs in the main thread, which may
    # be holding that Event's lock in its own wait.
    stop_signals = {signal.SIGTERM, signal.SIGINT}
    signal.pthread_sigmask(signal.SIG_BLOCK, stop_signals)
    threads = [threading.Thread(target=s.serve_forever, kwargs={"poll_interval": 0.1}, daemon=True)
               for s in servers]
    for t in threads:
        t.start()
    if args.ready_file:
        tmp = args.ready_file + ".tmp"
        with open(tmp, "w") as f:
            f.write("%d\n" % os.getpid())
        os.replace(tmp, args.ready_file)
    state.log_raw("listening on %s" % ", ".join(
        "%s://%s:%d" % ("https" if s.tls else "http", args.bind, s.server_address[1])
        for s in servers))
    signal.sigwait(stop_signals)
    for s in servers:
        s.shutdown()
        s.server_close()
    state.release_all()
    state.wait_idle(10)
    if args.ready_file:
        try:
            os.unlink(args.ready_file)
        except OSError:
            pass
    state.log_raw("stopped")
    if log_file:
        log_file.close()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
