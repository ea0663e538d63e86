#!/usr/bin/python3
"""Kill soak: a head office and two branches run their cycles on the real
servers while each cycle is killed with SIGKILL at a random moment within its
measured length; after every kill the checks that must always hold are
verified, and at the end clean cycles must bring every branch to the head
office's prices.

  eval "$(scripts/servers start)"
  /usr/bin/python3 bench/soak/kill.py BUILD_DIR [KILLS] [SEED]

Checks after every kill: Quilvane.ini parses with every key it had; a branch
that recorded the day holds exactly one whole set of the head office's
prices (never a half-applied file); the archive on the exchange server passes
`unzip -t` whenever a branch is about to download it; no kind of temporary
file has more than one copy, at a site or on the exchange server.
"""
import collections
import hashlib
import os
import re
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run  # noqa: E402  (the sites, servers and helpers of the fault soak)

KILLS = int(sys.argv[2]) if len(sys.argv) > 2 else 200
COLS = ("CODIGO, PRECOCUSTO, LUCRO, PRECOFARMACIAPOPULAR, PRECOVENDA, TIPOPROMOCAO, INICIOPROM, "
        "FINALPROM, PRECOPROMVISTA")
KNOWN = {"quilvane", "Quilvane.ini", "tolmarc.ini", "Quilvane.log"}


def password():
    with open(f"{run.ROOT}/archive/compactar.h") as f:
        return re.search(r'kArchivePassword\[\] = "([^"]*)"', f.read()).group(1)


def prices(site):
    return hashlib.sha256(run.isql(site["db"], f"SELECT {COLS} FROM PRODUTOS ORDER BY CODIGO")).hexdigest()


def settings(site):
    """The keys of Quilvane.ini, or raises when it cannot be read as settings."""
    with open(site["dir"] + "Quilvane.ini", "rb") as f:
        text = f.read().decode("cp1252")
    lines = [l for l in text.replace("\r\n", "\n").split("\n") if l.strip()]
    if not lines or lines[0] != "[Quilvane]":
        raise ValueError(f"no [Quilvane] section: {text!r}")
    keys = {}
    for l in lines[1:]:
        if "=" not in l:
            raise ValueError(f"not a key line: {l!r}")
        k, v = l.split("=", 1)
        keys[k] = v
    return keys


def kinds(folder):
    """Files other than the known ones, grouped by their name with digits folded."""
    count = collections.Counter()
    for name in os.listdir(folder):
        if name not in KNOWN:
            count[re.sub(r"[0-9]+", "#", name)] += 1
    return count


def last_log_line(site):
    p = site["dir"] + "Quilvane.log"
    if not os.path.exists(p):
        return "(no log yet)"
    with open(p, "rb") as f:
        f.seek(max(0, os.path.getsize(p) - 4096))
        lines = f.read().decode("cp1252", "replace").strip().splitlines()
    text = lines[-1] if lines else ""
    # "<date> <time> - message": the message, digits folded, as the moment.
    text = text.split(" - ", 1)[-1]
    return re.sub(r"[0-9]+", "#", text)[:70]


def phase(site, archive):
    """Where the cycle stands, from the files it has open at the moment and
    its last log line."""
    here = kinds(site["dir"])
    server = kinds(os.path.dirname(archive))
    temps = sorted(k for k in list(here) + list(server) if not re.fullmatch(r"#\.(SQL|ZIP)", k))
    if temps:
        return "temporary file " + ",".join(temps)
    if "#.ZIP" in here and "#.SQL" in here:
        return "archive and exchange file both at the site"
    if "#.ZIP" in here:
        return "archive at the site (packing, transfer or extraction)"
    if "#.SQL" in here:
        return "exchange file at the site (export or import): " + last_log_line(site)
    return "no exchange file at the site: " + last_log_line(site)


def forget_day(site):
    keys = settings(site)
    keys.pop("DataUltimaSincronizacao", None)
    with open(site["dir"] + "Quilvane.ini", "w", newline="") as f:
        f.write("[Quilvane]\r\n" + "".join(f"{k}={v}\r\n" for k, v in keys.items()))
    return keys


def main():
    run.WORK = "/tmp/quilvane-kill-soak"  # apart from the fault soak's sites
    run.shutil.rmtree(run.WORK, ignore_errors=True)
    os.makedirs(run.WORK)
    head = run.make_site("kmatriz", run.CNPJ, False)
    branches = [run.make_site("kfilial1", "11.111.111/0001-11", True),
                run.make_site("kfilial2", "22.222.222/0001-22", True)]
    sites = [head] + branches
    for s in sites:
        run.configure(s, False)
    archive = os.path.join(run.EXCHANGE, run.DIGITS + ".ZIP")
    pw = password()
    faults = []
    moments = collections.Counter()

    def fault(msg):
        faults.append(msg)
        print("FAULT:", msg, flush=True)

    # Each site's clean cycle, measured; the kills land within it.
    length = {}
    for s in sites:
        t = time.monotonic()
        run.cycle(s, {"cycles": 0, "max_cycle": 0.0})
        length[s["name"]] = time.monotonic() - t
        forget_day(s)
    print("cycle lengths:", {k: round(v, 2) for k, v in length.items()}, flush=True)
    snapshots = {prices(head)}
    expected_keys = {s["name"]: set(settings(s)) for s in sites}

    kills = rounds = 0
    while kills < KILLS:
        rounds += 1
        run.isql(head["db"], "UPDATE PRODUTOS SET PRECOVENDA = PRECOVENDA + 0.01 WHERE "
                 f"MOD(CAST(CODIGO AS BIGINT), 7) = {rounds % 7};\nCOMMIT")
        snapshots.add(prices(head))
        for s in sites:
            if s is not head and os.path.exists(archive):
                t = subprocess.run(["unzip", "-tqq", "-P", pw, archive], capture_output=True)
                if t.returncode != 0:
                    fault(f"round {rounds}: archive on the server not whole before {s['name']}'s "
                          f"download: {t.stdout.decode(errors='replace').strip()[:200]}")
            # Half the kills in the cycle's first tenth, where the transfers
            # and the extraction fall; the rest anywhere in it.
            delay = run.rng.uniform(0, length[s["name"]] * run.rng.choice((0.1, 1.0)))
            proc = subprocess.Popen([s["dir"] + "quilvane", "-ONCE"], cwd="/",
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            try:
                proc.wait(timeout=delay)
                moments["(cycle ended before the kill)"] += 1
            except subprocess.TimeoutExpired:
                moment = phase(s, archive)
                proc.send_signal(signal.SIGKILL)
                moments[f"{'head' if s is head else 'branch'}: {moment}"] += 1
                proc.wait()
                kills += 1
            try:
                keys = settings(s)
                missing = expected_keys[s["name"]] - set(keys)
                if missing:
                    fault(f"round {rounds}: {s['name']} lost keys {sorted(missing)}")
                if s is not head and "DataUltimaSincronizacao" in keys and prices(s) not in snapshots:
                    fault(f"round {rounds}: {s['name']} recorded the day over half-applied prices")
            except (OSError, ValueError) as e:
                fault(f"round {rounds}: {s['name']} settings unreadable: {e}")
            for where, folder in ((s["name"], s["dir"]), ("exchange server", run.EXCHANGE)):
                many = {k: n for k, n in kinds(folder).items() if n > 1}
                if many:
                    fault(f"round {rounds}: temporary files pile up at {where}: {many}")
            forget_day(s)
        print(f"round {rounds:3d} kills {kills}", flush=True)

    # Kills stop: clean cycles bring every branch to the head office's prices.
    for s in sites:
        forget_day(s)
        run.cycle(s, {"cycles": 0, "max_cycle": 0.0})
    want = prices(head)
    converged = all(prices(b) == want for b in branches)
    if not converged:
        fault("branches did not converge to the head office's prices")
    print(f"\nkills {kills} in {rounds} rounds, converged {converged}, faults {len(faults)}")
    print("moments (site: files and last log line at the kill):")
    for m, n in sorted(moments.items(), key=lambda x: -x[1]):
        print(f"  {n:4d}  {m}")
    for s in sites:
        os.remove(s["db"])
    return 0 if converged and not faults else 1


if __name__ == "__main__":
    sys.exit(main())
