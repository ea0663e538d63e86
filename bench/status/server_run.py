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


def main():
    binary, count = sys.argv[1], int(sys.argv[2])
    exchange = os.environ["QUILVANE_EXCHANGE_DIR"]
    recibos = os.path.join(exchange, "recibos")
    shutil.rmtree(recibos, ignore_errors=True)
    os.makedirs(recibos)
    for i in range(count):
        with open(os.path.join(recibos, "%014d.txt" % (i + 1)), "wb") as f:
            f.write(receipt(i))
    with open(os.path.join(exchange, "11111111000111.ZIP"), "wb") as f:
        f.write(b"PK")
    site = tempfile.mkdtemp(prefix="quilvane-status-bench-")
    try:
        shutil.copy(binary, site)
        with open(os.path.join(site, "Quilvane.ini"), "wb") as f:
            f.write(("[Quilvane]\r\nCNPJServidor=11.111.111/0001-11\r\n"
                     "ServidorFTP=127.0.0.1:%s\r\nUsuarioFTP=%s\r\nDominioWeb=localhost:%s\r\n" % (
                         os.environ["QUILVANE_FTP_PORT"], os.environ["QUILVANE_FTP_USER"],
                         os.environ["QUILVANE_WEB_PORT"])).encode())
        start = time.monotonic()
        run = subprocess.run([os.path.join(site, "quilvane"), "-STATUS"], cwd="/",
                             capture_output=True)
        elapsed = time.monotonic() - start
        page = open(os.path.join(site, "status.html"), "rb").read()
        rows = page.count(b'<tr class="f ')
        print("%d receipts read by -STATUS over FTP, page written and stored: %.2f s "
              "(exit %d, %d rows, page %d KB, table %d KB)" % (
                  count, elapsed, run.returncode, rows, len(page) // 1024,
                  len(run.stdout) // 1024))
        ok = run.returncode == 0 and rows == count and elapsed < 10
    finally:
        shutil.rmtree(site, ignore_errors=True)
        shutil.rmtree(recibos, ignore_errors=True)
        for name in ("11111111000111.ZIP", "status.html"):
            try:
                os.remove(os.path.join(exchange, name))
            except FileNotFoundError:
                pass
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
