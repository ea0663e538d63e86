#!/usr/bin/python3
"""Fault soak: a head office and two branches run cycle after cycle while
faults are injected at random; after each round the checks that must always
hold are verified, and once the faults stop the branches must converge to
the head office's prices.

  eval "$(scripts/servers start)"
  /usr/bin/python3 bench/soak/run.py BUILD_DIR [ROUNDS] [SEED]

Faults: the exchange server stopped, or restarted between the head office's
and the branches' cycles; FTP, HTTP or Firebird connections cut mid-transfer
by a proxy; a full disk at a branch (its folder on a small tmpfs, filled up),
when mounting works.
"""
import os
import random
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.path.abspath(sys.argv[1]) if len(sys.argv) > 1 else os.path.join(ROOT, "build")
ROUNDS = int(sys.argv[2]) if len(sys.argv) > 2 else 50
rng = random.Random(int(sys.argv[3]) if len(sys.argv) > 3 else 1)
ENV = os.environ
FB_DIR, SYSDBA = ENV["QUILVANE_FB_DIR"], ENV["QUILVANE_FB_SYSDBA_PASSWORD"]
FTP_PORT, WEB_PORT = ENV["QUILVANE_FTP_PORT"], ENV["QUILVANE_WEB_PORT"]
FTP_USER, EXCHANGE = ENV["QUILVANE_FTP_USER"], ENV["QUILVANE_EXCHANGE_DIR"]
CNPJ, DIGITS = "55.444.333/0001-22", "55444333000122"
WORK = "/tmp/quilvane-soak"
PRODUCTS = 2000
CYCLE_LIMIT = 15 * 60  # a cycle that takes longer has hung
PROXY = {"ftp": ("127.0.0.3", 2121, "127.0.0.1", int(FTP_PORT)),
         # DominioWeb names "localhost", which is 127.0.0.1.
         "web": ("127.0.0.1", int(WEB_PORT) + 10, "127.0.0.1", int(WEB_PORT)),
         "db": ("127.0.0.3", 3050, "127.0.0.1", 3050)}
EXCHANGE_SCRIPT = f"{ROOT}/scripts/servers.d/30-exchange.sh"


def isql(db, sql):
    path = f"{WORK}/q.sql"
    with open(path, "w") as f:
        f.write(f"CONNECT '127.0.0.1/3050:{db}' USER 'SYSDBA' PASSWORD '{SYSDBA}';\nSET HEADING OFF;\n{sql};\n")
    return subprocess.run(["isql-fb", "-q", "-b", "-i", path], capture_output=True, check=True).stdout


def make_site(name, cgc, stale, small_disk=False):
    d = f"{WORK}/{name}/"
    os.makedirs(d, exist_ok=True)
    if small_disk:
        # The site's folder on a small filesystem of its own, to be filled up.
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64m", "tmpfs", d], capture_output=True)
    db = f"{FB_DIR}/soak-{name}.fdb"
    if os.path.exists(db):
        os.remove(db)
    with open(f"{WORK}/seed.sql", "wb") as f:
        subprocess.run(["/usr/bin/python3", f"{ROOT}/scripts/demo-seed.py", f"127.0.0.1/3050:{db}", SYSDBA, cgc,
                        str(PRODUCTS), "1" if stale else "0"], stdout=f, check=True)
    subprocess.run(["isql-fb", "-q", "-b", "-i", f"{WORK}/seed.sql"], check=True, stdout=subprocess.DEVNULL)
    shutil.copy(f"{BUILD}/quilvane", d)
    return {"name": name, "dir": d, "db": db}


def configure(site, proxied):
    ftp = f"127.0.0.3:{PROXY['ftp'][1]}" if proxied else f"127.0.0.1:{FTP_PORT}"
    web = f"localhost:{PROXY['web'][1]}" if proxied else f"localhost:{WEB_PORT}"
    dbhost = "127.0.0.3" if proxied else "127.0.0.1"
    with open(site["dir"] + "Quilvane.ini", "w") as f:
        f.write(f"[Quilvane]\r\nCNPJServidor={CNPJ}\r\nSincronizarPrecoFarmaciaPopular=1\r\n"
                f"ServidorFTP={ftp}\r\nUsuarioFTP={FTP_USER}\r\nDominioWeb={web}\r\n")
    with open(site["dir"] + "tolmarc.ini", "w") as f:
        f.write(f"[Tolmarc]\r\nServidor={dbhost}\r\nCaminho={site['db']}\r\n")


def log_size(site):
    p = site["dir"] + "Quilvane.log"
    return os.path.getsize(p) if os.path.exists(p) else 0


def recorded(site):
    with open(site["dir"] + "Quilvane.ini", "rb") as f:
        return b"DataUltimaSincronizacao" in f.read()


def cycle(site, stats):
    before = log_size(site)
    start = time.monotonic()
    try:
        rc = subprocess.run([site["dir"] + "quilvane", "-ONCE"], cwd="/", capture_output=True,
                            timeout=CYCLE_LIMIT).returncode
    except subprocess.TimeoutExpired:
        raise SystemExit(f"HUNG: {site['name']} cycle over {CYCLE_LIMIT} s")
    took = time.monotonic() - start
    stats["max_cycle"] = max(stats["max_cycle"], took)
    stats["cycles"] += 1
    ok = recorded(site)
    # Every cycle either records its day or logs why not.
    if not ok and log_size(site) == before:
        raise SystemExit(f"SILENT FAILURE: {site['name']} neither recorded the day nor logged")
    for leftover in (DIGITS + ".SQL", DIGITS + ".ZIP"):
        if os.path.exists(site["dir"] + leftover) or os.path.exists("/" + leftover):
            raise SystemExit(f"LEFT BEHIND: {leftover} at {site['name']}")
    if not os.path.exists(site["dir"] + "Quilvane.ini"):
        raise SystemExit(f"SETTINGS LOST at {site['name']}")
    return rc, ok


def start_proxies(probability):
    procs = []
    for listen_host, listen_port, target_host, target_port in PROXY.values():
        p = subprocess.Popen(["/usr/bin/python3", f"{ROOT}/bench/soak/fault_proxy.py", listen_host,
                              str(listen_port), target_host, str(target_port), str(probability),
                              str(rng.randint(0, 1 << 30))], stdout=subprocess.PIPE)
        p.stdout.readline()
        procs.append(p)
    return procs


def main():
    shutil.rmtree(WORK, ignore_errors=True)
    os.makedirs(WORK)
    head = make_site("matriz", CNPJ, False)
    subprocess.run(["umount", f"{WORK}/filial2"], capture_output=True)
    branches = [make_site("filial1", "11.111.111/0001-11", True),
                make_site("filial2", "22.222.222/0001-22", True, small_disk=True)]
    small = branches[1]["dir"]
    can_fill = subprocess.run(["mountpoint", "-q", small]).returncode == 0
    sites = [head] + branches
    stats = {"cycles": 0, "max_cycle": 0.0, "faults": {}}
    faults = ["none", "exchange_down", "exchange_restart", "cut_connections", "cut_connections"]
    if can_fill:
        faults.append("disk_full")
    for round_no in range(1, ROUNDS + 1):
        fault = rng.choice(faults)
        stats["faults"][fault] = stats["faults"].get(fault, 0) + 1
        # A new day's prices at the head office; every site has work to do.
        isql(head["db"], f"UPDATE PRODUTOS SET PRECOVENDA = PRECOVENDA + 0.01 WHERE MOD(CAST(CODIGO AS BIGINT), 7) = {round_no % 7};\nCOMMIT")
        proxies = []
        for s in sites:
            configure(s, fault == "cut_connections")  # also forgets the recorded day
        if fault == "cut_connections":
            proxies = start_proxies(0.5)
        if fault == "exchange_down":
            subprocess.run(["bash", EXCHANGE_SCRIPT, "stop"], capture_output=True)
        if fault == "disk_full":
            # Leave room for a log line, not for the unpacked exchange file.
            st = os.statvfs(small)
            with open(small + "filler", "wb") as f:
                f.write(b"\0" * max(0, st.f_bavail * st.f_frsize - 200 * 1024))
        cycle(head, stats)
        if fault == "exchange_restart":
            subprocess.run(["bash", EXCHANGE_SCRIPT, "stop"], capture_output=True)
            subprocess.run(["bash", EXCHANGE_SCRIPT, "start"], capture_output=True)
        for b in branches:
            cycle(b, stats)
        for p in proxies:
            p.kill()
            p.wait()
        if fault == "exchange_down":
            subprocess.run(["bash", EXCHANGE_SCRIPT, "start"], capture_output=True)
        if fault == "disk_full":
            os.remove(small + "filler")
        print(f"round {round_no:3d} {fault:17s} head={'ok' if recorded(head) else 'no'} "
              f"branches={[ 'ok' if recorded(b) else 'no' for b in branches]}", flush=True)

    # Faults stop: one clean day must bring every branch to the head office's prices.
    for s in sites:
        configure(s, False)
    cycle(head, stats)
    for b in branches:
        cycle(b, stats)
    cols = "CODIGO, PRECOCUSTO, LUCRO, PRECOFARMACIAPOPULAR, PRECOVENDA, TIPOPROMOCAO, INICIOPROM, FINALPROM, PRECOPROMVISTA"
    want = isql(head["db"], f"SELECT {cols} FROM PRODUTOS ORDER BY CODIGO")
    converged = all(isql(b["db"], f"SELECT {cols} FROM PRODUTOS ORDER BY CODIGO") == want for b in branches)
    print(f"\nrounds {ROUNDS}, cycles {stats['cycles']}, faults {stats['faults']}, "
          f"largest cycle {stats['max_cycle']:.1f} s, converged {converged}")
    print("held after every cycle: no hang, no exchange file or archive left behind, settings file present, "
          "every cycle that did not record its day logged a line")
    for s in sites:
        os.remove(s["db"])
    subprocess.run(["umount", small], capture_output=True)
    return 0 if converged else 1


if __name__ == "__main__":
    sys.exit(main())
