#!/usr/bin/python3
"""Records the transfer fuzz target's seed inputs from a real exchange server
on loopback: whole FTP conversations from pyftpdlib (the replies to the
commands FtpClient sends, in order, then what the data connections carried)
and HTTP responses from nginx. Each seed is what the fuzz target replays:
b"\\x01" + control replies + b"\\0" + data bytes for FTP, b"\\x00" + response
bytes for HTTP. See bench/fuzz/record-seeds.sh."""
import argparse
import os
import re
import socket

TIMEOUT = 5


def read_reply(f):
    """One FTP reply, multi-line ones whole, as received."""
    first = f.readline()
    raw = first
    if len(first) > 3 and first[3:4] == b"-":
        code = first[:3]
        while True:
            line = f.readline()
            if not line:
                break
            raw += line
            if line[:3] == code and line[3:4] in (b" ", b"\r", b"\n"):
                break
    return raw


def ftp_conversation(port, commands, user, password):
    """Sends `commands` (None stands for the data step of the command before
    it) and returns (control bytes, data bytes)."""
    s = socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT)
    f = s.makefile("rb")
    control = read_reply(f)
    data = b""
    pasv = None
    for cmd in commands:
        cmd = cmd.replace("{user}", user).replace("{password}", password)
        s.sendall(cmd.encode() + b"\r\n")
        if cmd.startswith(("NLST", "STOR", "RETR", "LIST")):
            d = socket.create_connection(pasv, timeout=TIMEOUT)
            reply = read_reply(f)
            control += reply
            if reply[:1] in (b"1",):
                if cmd.startswith("STOR"):
                    d.sendall(b"17/10/2023\r\n"
                              b"UPDATE PRODUTOS SET PRECOVENDA = 1.00 WHERE CODIGO = 1;\r\n")
                else:
                    while True:
                        chunk = d.recv(65536)
                        if not chunk:
                            break
                        data += chunk
                d.close()
                control += read_reply(f)
            else:
                d.close()
            continue
        reply = read_reply(f)
        control += reply
        m = re.search(rb"\((\d+),(\d+),(\d+),(\d+),(\d+),(\d+)\)", reply)
        if reply.startswith(b"227") and m:
            n = [int(x) for x in m.groups()]
            pasv = ("%d.%d.%d.%d" % tuple(n[:4]), n[4] * 256 + n[5])
    s.close()
    return control, data


def http_exchange(port, requests):
    """Sends the requests pipelined on one connection, the last asking the
    server to close; returns every byte received."""
    s = socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT)
    payload = b""
    for i, (path, extra) in enumerate(requests):
        head = "GET %s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n" % (path, port)
        head += "Accept: text/html, */*\r\nUser-Agent: Mozilla/3.0 (compatible; Indy Library)\r\n"
        head += extra
        if i == len(requests) - 1:
            head += "Connection: close\r\n"
        payload += (head + "\r\n").encode()
    s.sendall(payload)
    out = b""
    while True:
        chunk = s.recv(65536)
        if not chunk:
            break
        out += chunk
    s.close()
    return out


LOGIN = ["HOST [127.0.0.1]", "USER {user}", "PASS {password}", "FEAT", "TYPE I", "SYST", "TYPE I"]


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--ftp-port", type=int, required=True)
    p.add_argument("--web-port", type=int, required=True)
    p.add_argument("--gzip-web-port", type=int, required=True)
    p.add_argument("--user", default="quilvane")
    p.add_argument("--password", default="mirvex")
    p.add_argument("--out", required=True)
    a = p.parse_args()
    os.makedirs(a.out, exist_ok=True)

    def save(name, data):
        with open(os.path.join(a.out, name), "wb") as f:
            f.write(data)

    ftp = {
        "ftp-upload-cycle": LOGIN + ["CWD quilvane", "TYPE A", "PASV", "NLST", "TYPE I",
                                     "PASV", "STOR fuzz.txt", "DELE fuzz.txt", "QUIT"],
        "ftp-wrong-password": ["HOST [127.0.0.1]", "USER {user}", "PASS wrong", "QUIT"],
        "ftp-missing-folder": LOGIN + ["CWD missing", "QUIT"],
        "ftp-empty-folder": LOGIN + ["CWD quilvane/empty", "TYPE A", "PASV", "NLST",
                                     "TYPE I", "QUIT"],
        "ftp-delete-missing": LOGIN + ["CWD quilvane", "TYPE A", "PASV", "NLST", "TYPE I",
                                       "PASV", "STOR fuzz.txt", "DELE nothere.txt", "QUIT"],
    }
    for name, commands in ftp.items():
        control, data = ftp_conversation(a.ftp_port, commands, a.user, a.password)
        save(name, b"\x01" + control + b"\0" + data)

    base = "/halvoraquin/quilvane/"
    http = {
        "http-archive-then-404": (a.web_port, [(base + "12345678000199.ZIP", ""),
                                               ("/missing", "")]),
        "http-404": (a.web_port, [(base + "none.zip", "")]),
        "http-redirect": (a.gzip_web_port, [(base + "empty", "")]),
        "http-two-archives": (a.web_port, [(base + "12345678000199.ZIP", ""),
                                           (base + "PRODUTOS.TXT", "")]),
        "http-chunked-gzip": (a.gzip_web_port,
                              [(base + "PRODUTOS.TXT", "Accept-Encoding: gzip\r\n"),
                               (base + "PRODUTOS.TXT", "Accept-Encoding: gzip\r\n")]),
    }
    for name, (port, requests) in http.items():
        save(name, b"\x00" + http_exchange(port, requests))


if __name__ == "__main__":
    main()
