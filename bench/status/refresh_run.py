#!/usr/bin/python3
"""quilvane -STATUS at a head office 50 ms (each way) from its exchange
server: N receipts in the real pyftpdlib server's "recibos", reached through
bench/status/ftp_delay_proxy.py. Times a first, full read (no cache), a
refresh with nothing changed, one after C receipts changed, and the one
after that. Exit status 1 when the full read takes more than 120 s, the
refresh after the change more than 15 s, or a page lacks a row.

    eval "$(scripts/servers start)"
    /usr/bin/python3 bench/status/refresh_run.py build/quilvane 2000 50

The proxy listens on QUILVANE_DELAY_PROXY_PORT (43960 unless set). The
receipts folder is emptied before and removed after: run it on an exchange
server of its own, not while the end-to-end tests run."""
import os
import re
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from server_run import clean, make_site, put_receipts, run_status  # noqa: E402

DAY = 86400


def main():
    binary, count = sys.argv[1], int(sys.argv[2])
    changed = int(sys.argv[3]) if len(sys.argv) > 3 else 50
    delay = float(sys.argv[4]) if len(sys.argv) > 4 else 0.05
    proxy_port = int(os.environ.get("QUILVANE_DELAY_PROXY_PORT", "43960"))
    exchange = put_receipts(count, time.time() - 2 * DAY)
    recibos = os.path.join(exchange, "recibos")
    here = os.path.dirname(os.path.abspath(__file__))
    proxy = subprocess.Popen(["/usr/bin/python3", os.path.join(here, "ftp_delay_proxy.py"),
                              str(proxy_port), os.environ["QUILVANE_FTP_PORT"], str(delay)],
                             stdout=subprocess.PIPE)
    site = make_site(binary, proxy_port)
    ok = True
    try:
        proxy.stdout.readline()

        def run(what, limit):
            elapsed, done, rows, _ = run_status(site)
            said = re.search(rb"Recibos: [^\n]*", done.stderr)
            print("%-34s %6.2f s  exit %d, %d rows, %s" % (
                what, elapsed, done.returncode, rows,
                said.group(0).decode() if said else done.stderr.decode()[-300:]), flush=True)
            return done.returncode == 0 and rows == count and (limit is None or elapsed <= limit)

        print("%d receipts, %d ms each way" % (count, delay * 1000))
        ok &= run("first, full read (no cache)", 120)
        ok &= run("nothing changed", 15)
        for i in range(changed):
            path = os.path.join(recibos, "%014d.txt" % (i * (count // changed) + 1))
            with open(path, "ab") as f:
                f.write(b"aviso=alterado\r\n")
        ok &= run("%d changed" % changed, 15)
        ok &= run("next tick (the %d read again)" % changed, 15)
    finally:
        proxy.terminate()
        proxy.wait()
        clean(site, exchange)
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
