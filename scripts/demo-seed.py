#!/usr/bin/python3
"""Writes an isql script that creates a site's ERP database for the demo:
PADRAO with the site's CGC and PRODUTOS with realistic products.

  demo-seed.py DATABASE SYSDBA_PASSWORD CGC COUNT STALE > script.sql

The same products are generated at every site; with STALE=1 the prices are
those of an older price list (what a branch has before it synchronises).
"""
import random
import sys

database, password, cgc, count, stale = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]), sys.argv[5] == "1"

NAMES = ["Dipirona S\xf3dica 500mg", "Paracetamol 750mg", "Ibuprofeno 400mg", "Amoxicilina 500mg",
         "Losartana Pot\xe1ssica 50mg", "Omeprazol 20mg", "Vitamina C 1g", "Protetor Solar FPS 50",
         "Shampoo Anticaspa", "Escova Dental Macia", "Fralda Infantil M", "\xc1lcool em Gel 70%",
         "Sinvastatina 20mg", "Loratadina 10mg", "Soro Fisiol\xf3gico 500ml", "Term\xf4metro Digital"]

out = []
w = out.append
w("SET NAMES ISO8859_1;")
w(f"CREATE DATABASE '{database}' USER 'SYSDBA' PASSWORD '{password}' DEFAULT CHARACTER SET ISO8859_1;")
w("""CREATE TABLE PADRAO (CODIGO INTEGER NOT NULL PRIMARY KEY, CGC VARCHAR(18));
CREATE TABLE PRODUTOS (
  CODIGO VARCHAR(20) NOT NULL PRIMARY KEY,
  DESCRICAO VARCHAR(60),
  PRECOCUSTO NUMERIC(15,2), LUCRO NUMERIC(15,2), PRECOFARMACIAPOPULAR NUMERIC(15,2),
  PRECOVENDA NUMERIC(15,2), TIPOPROMOCAO CHAR(1), INICIOPROM DATE, FINALPROM DATE,
  DESCPROMVISTA NUMERIC(15,2), DESCPROMPRAZO NUMERIC(15,2),
  PRECOPROMVISTA NUMERIC(15,2), PRECOPROMPRAZO NUMERIC(15,2),
  PROMQTDMINIMAVISTA NUMERIC(15,3), PROMQTDMINIMAPRAZO NUMERIC(15,3),
  PROMPAGUEVISTA NUMERIC(15,3), PROMLEVEVISTA NUMERIC(15,3),
  PROMPAGUEPRAZO NUMERIC(15,3), PROMLEVEPRAZO NUMERIC(15,3),
  PROMKITQTDVISTA NUMERIC(15,3), PROMKITVALORVISTA NUMERIC(15,2),
  PROMKITQTDPRAZO NUMERIC(15,3), PROMKITVALORPRAZO NUMERIC(15,2),
  PROMSOMENTEFEBRAFAR CHAR(1),
  PROMDESCRESIDUALVISTA NUMERIC(15,2), PROMDESCRESIDUALPRAZO NUMERIC(15,2));
GRANT ALL ON PADRAO TO USUARIO;
GRANT ALL ON PRODUTOS TO USUARIO;
COMMIT;""")
w(f"INSERT INTO PADRAO (CODIGO, CGC) VALUES (1, '{cgc}');")

rng = random.Random(20231017)
for i in range(count):
    code = str(7891000000000 + i * 37)
    name = rng.choice(NAMES).replace("'", "''")
    cost = rng.randint(150, 25000) / 100
    margin = rng.choice([25, 30, 35, 40, 45])
    if stale:  # last month's price list
        cost = round(cost * 0.93, 2)
    sale = round(cost * (1 + margin / 100), 2)
    # Every draw is made at every site, so both generate the same products.
    promo_draw, popular_draw, kit_draw = rng.random(), rng.random(), rng.random()
    promo = promo_draw < 0.2 and not stale
    vals = {
        "CODIGO": f"'{code}'", "DESCRICAO": f"'{name}'",
        "PRECOCUSTO": f"{cost:.2f}", "LUCRO": f"{margin:.2f}",
        "PRECOFARMACIAPOPULAR": f"{sale * 0.9:.2f}" if popular_draw < 0.1 else "NULL",
        "PRECOVENDA": f"{sale:.2f}",
        "TIPOPROMOCAO": "'1'" if promo else "'0'",
        "INICIOPROM": "'2023-10-01'" if promo else "NULL",
        "FINALPROM": "'2023-10-31'" if promo else "NULL",
        "DESCPROMVISTA": "5.00" if promo else "NULL",
        "PRECOPROMVISTA": f"{sale * 0.95:.2f}" if promo else "NULL",
        "PROMKITQTDVISTA": "3.000" if promo and kit_draw < 0.3 else "NULL",
        "PROMSOMENTEFEBRAFAR": "'N'",
    }
    cols = ", ".join(vals)
    w(f"INSERT INTO PRODUTOS ({cols}) VALUES ({', '.join(vals.values())});")
w("COMMIT;")
sys.stdout.buffer.write(("\n".join(out) + "\n").encode("latin-1"))
