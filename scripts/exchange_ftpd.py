#!/usr/bin/python3
"""The exchange server's FTP side for tests and the demo: one account whose
login folder holds the exchange folder, passive mode on a fixed loopback
port range. Run by /usr/bin/python3 (Debian's pyftpdlib)."""
import argparse
import logging
import os

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--root", required=True)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--passive-ports", required=True, help="first-last")
    parser.add_argument("--log")
    args = parser.parse_args()

    logging.basicConfig(filename=args.log, level=logging.INFO,
                        format="%(asctime)s %(message)s")
    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, homedir=args.root, perm="elradfmwMT")

    class Handler(FTPHandler):
        pass

    Handler.authorizer = authorizer
    first, last = (int(p) for p in args.passive_ports.split("-"))
    Handler.passive_ports = range(first, last + 1)
    Handler.permit_foreign_addresses = False
    Handler.banner = "Quilvane exchange server ready."
    os.umask(0o022)
    server = FTPServer(("127.0.0.1", args.port), Handler)
    server.max_cons = 64
    server.serve_forever()


if __name__ == "__main__":
    main()
