#!/usr/bin/python3
"""quilvane -STATUS against the loopback exchange server: N receipts put in
the exchange folder's "recibos", the real program reads them all by FTP,
prints the table, writes status.html and stores it. Reports the command's
wall time; exit status 1 when it is 10 s or more or the page lacks a row.

    eval "$(scripts/servers start)"
    /usr/bin/python3 bench/status/server_run.py build/quilvane 1000

The receipts folder is emptied before and removed after: run it on an
exchange server of its own, not while the end-to-end tests run."""
import os
import shutil
import subprocess
import sys
import tempfile
import time


def receipt(i):
    lines = ["recibo=1", "cgc=%02d.%03d.%03d/%04d-00" % (i % 100, i % 1000, i, i % 10000),
             "versao=0.1.0", "inicio=2026-12-10T08:30:05-03:00", "duracao_ms=5120"]
    if i % 50 == 7:
        lines += ["resultado=falhou", "data_registrada=2026-12-08",
                  "falha=10/12/2026 08:30:07 - Falha ao realizar o download do arquivo: "
                  "Socket Error # 10061", "falha=10/12/2026 08:30:07 - Não baixou o arquivo!!!"]
    else:
        lines += ["resultado=aplicado", "data_arquivo=2026-12-10", "data_registrada=2026-12-10",
                  "comandos=12408", "sem_produto=%d" % (3 if i % 10 == 3 else 0)]
        if i % 10 == 3:
            lines += ["codigo=78910000%05d" % k for k in range(3)]
    return ("\r\n".join(lines) + "\r\n").encode("cp1252")


def put_receipts(count, mtime=None):
    """The exchange folder with `count` receipts (dated `mtime` when given)
    and the head office's archive; returns the exchange folder."""
    exchange = os.environ["QUILVANE_EXCHANGE_DIR"]
    recibos = os.path.join(exchange, "recibos")
    shutil.rmtree(recibos, ignore_errors=True)
    os.makedirs(recibos)
    for i in range(count):
        path = os.path.join(recibos, "%014d.txt" % (i + 1))
        with open(path, "wb") as f:
            f.write(receipt(i))
        if mtime is not None:
            os.utime(path, (mtime, mtime))
    with open(os.path.join(exchange, "11111111000111.ZIP"), "wb") as f:
        f.write(b"PK")
    return exchange


def make_site(binary, ftp_port):
    """A head office's folder: the program and a Quilvane.ini for `ftp_port`."""
    site = tempfile.mkdtemp(prefix="quilvane-status-bench-")
    shutil.copy(binary, site)
    with open(os.path.join(site, "Quilvane.ini"), "wb") as f:
        f.write(("[Quilvane]\r\nCNPJServidor=11.111.111/0001-11\r\n"
                 "ServidorFTP=127.0.0.1:%s\r\nUsuarioFTP=%s\r\nDominioWeb=localhost:%s\r\n" % (
                     ftp_port, os.environ["QUILVANE_FTP_USER"],
                     os.environ["QUILVANE_WEB_PORT"])).encode())
    return site


def clean(site, exchange):
    shutil.rmtree(site, ignore_errors=True)
    shutil.rmtree(os.path.join(exchange, "recibos"), ignore_errors=True)
    for name in ("11111111000111.ZIP", "status.html"):
        try:
            os.remove(os.path.join(exchange, name))
        except FileNotFoundError:
            pass


def run_status(site):
    """Runs the site's -STATUS; returns its wall time, the finished process
    and the number of branch rows on the page it wrote."""
    start = time.monotonic()
    done = subprocess.run([os.path.join(site, "quilvane"), "-STATUS"], cwd="/",
                          capture_output=True)
    elapsed = time.monotonic() - start
    page = open(os.path.join(site, "status.html"), "rb").read()
    return elapsed, done, page.count(b'<tr class="f '), len(page)


def main():
    binary, count = sys.argv[1], int(sys.argv[2])
    exchange = put_receipts(count)
    site = make_site(binary, os.environ["QUILVANE_FTP_PORT"])
    try:
        elapsed, run, rows, page_bytes = run_status(site)
        print("%d receipts read by -STATUS over FTP, page written and stored: %.2f s "
              "(exit %d, %d rows, page %d KB, table %d KB)" % (
                  count, elapsed, run.returncode, rows, page_bytes // 1024,
                  len(run.stdout) // 1024))
        ok = run.returncode == 0 and rows == count and elapsed < 10
    finally:
        clean(site, exchange)
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
