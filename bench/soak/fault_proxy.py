#!/usr/bin/python3
"""A TCP proxy on loopback that can cut connections: used by the soak to
drop the FTP control, HTTP and Firebird connections mid-transfer.

  fault_proxy.py LISTEN_HOST LISTEN_PORT TARGET_HOST TARGET_PORT CUT_PROBABILITY SEED

Each accepted connection is cut, with CUT_PROBABILITY, after a random number
of bytes (0 to 256 KiB) has passed in either direction. Listens and connects
on 127.0.0.0/8 only.
"""
import random
import socket
import sys
import threading

listen_host, listen_port, target_host, target_port = sys.argv[1], int(sys.argv[2]), sys.argv[3], int(sys.argv[4])
probability, rng = float(sys.argv[5]), random.Random(int(sys.argv[6]))
for host in (listen_host, target_host):
    if not host.startswith("127."):
        raise SystemExit("loopback only")


def pump(src, dst, budget, done):
    try:
        while True:
            data = src.recv(65536)
            if not data:
                break
            if budget[0] is not None:
                budget[0] -= len(data)
                if budget[0] < 0:
                    break
            dst.sendall(data)
    except OSError:
        pass
    done.set()


def serve(client):
    try:
        upstream = socket.create_connection((target_host, target_port), timeout=10)
        upstream.settimeout(None)
    except OSError:
        client.close()
        return
    budget = [rng.randint(0, 256 * 1024) if rng.random() < probability else None]
    done = threading.Event()
    for a, b in ((client, upstream), (upstream, client)):
        threading.Thread(target=pump, args=(a, b, budget, done), daemon=True).start()
    done.wait()
    for s in (client, upstream):
        try:
            s.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        s.close()


server = socket.socket()
server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
server.bind((listen_host, listen_port))
server.listen(64)
print("ready", flush=True)
while True:
    conn, _ = server.accept()
    threading.Thread(target=serve, args=(conn,), daemon=True).start()
