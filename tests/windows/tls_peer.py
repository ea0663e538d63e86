"""TLS peers on 127.0.0.1 for the Windows TLS checks (scripts/test-windows-tls).

OpenSSL on the server side (Python's ssl module), with the few behaviours a
test needs and a real web server will not show on demand: a stream cut
without its close alert, a silent peer, a TLS 1.0-only server, a plain-text
answer, and a report of whether a session was resumed.

    tls_peer.py CERT_DIR BASE_PORT SECONDS

Ports from BASE_PORT on:
  +0 good certificate (localhost, www.localhost, 127.0.0.1)
  +1 certificate for another name   +2 expired certificate
  +3 self-signed certificate        +4 TLS 1.0 only
  +5 plain text, no TLS             +6 silent: accepts, never answers
  +7 good certificate, ends every answer without the close alert
On the TLS ports the client sends one line:
  HELLO   answers "reused=0|1 version=TLSv1.2"
  GET n   answers n bytes (i % 251)
  PUT n   reads n bytes, answers "got=n sum=s"
  WAIT    answers "waiting", then notes how the client ended: "clean"
          (close alert) or "cut"
  LAST    answers that note
  MUTE    answers nothing for SECONDS
Prints "ready" once every port listens; stops by itself after SECONDS.
"""

import os
import socket
import ssl
import sys
import threading
import time

cert_dir, base_port, seconds = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
last_close = ["none"]


def context(name, tls10=False):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(os.path.join(cert_dir, name + ".pem"), os.path.join(cert_dir, name + ".key"))
    if tls10:
        ctx.set_ciphers("DEFAULT:@SECLEVEL=0")
        ctx.minimum_version = ssl.TLSVersion.TLSv1
        ctx.maximum_version = ssl.TLSVersion.TLSv1
    else:
        ctx.minimum_version = ssl.TLSVersion.TLSv1_2
    return ctx


def read_line(conn):
    line = b""
    while not line.endswith(b"\n") and len(line) < 200:
        part = conn.recv(1)
        if not part:
            break
        line += part
    return line.decode("ascii", "replace").strip()


def serve_tls(conn, ctx, cut):
    tls = ctx.wrap_socket(conn, server_side=True, suppress_ragged_eofs=False)
    words = read_line(tls).split()
    command = words[0] if words else ""
    count = int(words[1]) if len(words) > 1 and words[1].isdigit() else 0
    count = min(count, 64 << 20)
    if command == "HELLO":
        tls.sendall(b"reused=%d version=%s\n" % (tls.session_reused, tls.version().encode()))
    elif command == "GET":
        block = bytes(i % 251 for i in range(251 * 64))
        sent = 0
        while sent < count:
            n = min(len(block), count - sent)
            tls.sendall(block[:n])
            sent += n
    elif command == "PUT":
        got, total = 0, 0
        while got < count:
            data = tls.recv(65536)
            if not data:
                break
            got += len(data)
            total = (total + sum(data)) % (1 << 32)
        tls.sendall(b"got=%d sum=%d\n" % (got, total))
    elif command == "WAIT":
        tls.sendall(b"waiting\n")
        try:
            last_close[0] = "clean" if tls.recv(1) == b"" else "data"
        except (ssl.SSLEOFError, ssl.SSLZeroReturnError, OSError) as e:
            last_close[0] = "clean" if isinstance(e, ssl.SSLZeroReturnError) else "cut"
        conn.close()
        return
    elif command == "LAST":
        tls.sendall(last_close[0].encode() + b"\n")
    elif command == "MUTE":
        time.sleep(seconds)
    if cut:
        # The socket goes without SSL_shutdown: no close alert.
        tls.close()
        return
    tls.unwrap().close()


def handle(conn, mode, ctx):
    conn.settimeout(60)
    try:
        if mode == "plain":
            conn.recv(4096)
            conn.sendall(b"HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
        elif mode == "silent":
            time.sleep(seconds)
        else:
            serve_tls(conn, ctx, mode == "cut")
    except (OSError, ssl.SSLError, ValueError):
        pass
    finally:
        conn.close()


def listen(port, mode, ctx):
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", port))
    server.listen(16)

    def accept_loop():
        while True:
            conn, _ = server.accept()
            threading.Thread(target=handle, args=(conn, mode, ctx), daemon=True).start()

    threading.Thread(target=accept_loop, daemon=True).start()


good = context("good")
peers = [("tls", good), ("tls", context("other")), ("tls", context("expired")),
         ("tls", context("self")), ("tls", context("good", tls10=True)), ("plain", None),
         ("silent", None), ("cut", good)]
for offset, (mode, ctx) in enumerate(peers):
    listen(base_port + offset, mode, ctx)
print("ready", flush=True)
time.sleep(seconds)
