#!/usr/bin/env python3
"""Judged-query check of search relevance on the Debian packages corpus.

    bench/relevance.py --storage DIR [--program BUILD/src/api_search]
                       [--index packages] [--depth 10] [--verbose]
                       [--min-found N] [--expect "QUERY=ID,ID,..."]...

Each judged query lists the packages a user expects among the first hits
when typing it into a package search box. Queries are sent as typed, with no
trailing space, so the last word is also matched as a prefix, exactly as a
search-as-you-type page sends them. Every query runs as one CGI request of
api_search (the real program, the real engine, the real index), read-only.

Printed per query: the rank (1-based) of every expected package within the
first DEPTH hits, "-" for one not there. Summary figures:
  found@DEPTH  expected packages found in the first DEPTH hits / all expected
  first@1      queries whose first hit is one of its expected packages
  MRR          mean over queries of 1 / rank of the best-placed expected hit
               (0 when none is in the first DEPTH)
The judged packages were checked to be in the corpus that scripts/make-corpus
builds; a package missing from the index counts as not found.

As a check (exit status 1 on failure): --min-found N requires at least N
expected packages found in all; each --expect "QUERY=ID,ID" requires every
listed id among the first --expect-depth hits of QUERY (default 20, one page
of the API's default size; QUERY need not be judged).
"""

import argparse
import json
import os
import subprocess
import sys
import urllib.parse

# query -> packages a user expects among the first hits (any order).
JUDGED = [
    ("web server", ["nginx", "apache2", "lighttpd"]),
    ("text editor", ["vim", "emacs", "nano"]),
    ("sqlite", ["sqlite3"]),
    ("python", ["python3"]),
    ("pdf viewer", ["evince", "okular", "zathura", "mupdf"]),
    ("version control", ["git", "subversion", "mercurial"]),
    ("image editor", ["gimp"]),
    ("compression", ["gzip", "xz-utils", "bzip2", "zstd"]),
    ("web browser", ["firefox-esr", "chromium"]),
    ("mail client", ["thunderbird", "mutt", "neomutt"]),
    ("media player", ["vlc", "mpv"]),
    ("database server", ["postgresql", "mariadb-server"]),
    ("c compiler", ["gcc", "clang"]),
    ("terminal multiplexer", ["tmux", "screen"]),
    ("ssh server", ["openssh-server"]),
    ("dns server", ["bind9", "unbound", "dnsmasq"]),
    ("spreadsheet", ["libreoffice-calc", "gnumeric"]),
    ("password manager", ["keepassxc", "pass"]),
    ("file manager", ["nautilus", "thunar"]),
    ("bittorrent client", ["transmission-gtk", "qbittorrent"]),
    ("nginx", ["nginx"]),
    ("ngin", ["nginx"]),
    ("postgres", ["postgresql"]),
    ("postgrse", ["postgresql"]),
    ("webserver", ["nginx", "apache2", "lighttpd"]),
]


def search(program, storage, index, query, depth):
    """Ids of the first depth hits of query, from one api_search request."""
    qs = urllib.parse.urlencode({"index": index, "q": query, "limit": depth})
    env = {
        "LUMIDEX_STORAGE_DIR": storage,
        "REQUEST_METHOD": "GET",
        "QUERY_STRING": qs,
    }
    out = subprocess.run([program], env=env, capture_output=True, check=False)
    head, sep, body = out.stdout.partition(b"\r\n\r\n")
    if not sep:
        head, sep, body = out.stdout.partition(b"\n\n")
    if not head.startswith(b"Status: 200"):
        raise RuntimeError(f"{query!r}: {out.stdout[:300]!r} {out.stderr[:300]!r}")
    return [hit.get("id") for hit in json.loads(body)["hits"]]


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--storage", required=True)
    ap.add_argument("--program",
                    default=os.path.join(here, "..", "build", "src", "api_search"))
    ap.add_argument("--index", default="packages")
    ap.add_argument("--depth", type=int, default=10)
    ap.add_argument("--verbose", action="store_true",
                    help="also print the first hits of every query")
    ap.add_argument("--min-found", type=int, default=0,
                    help="fail when fewer expected packages are found")
    ap.add_argument("--expect-depth", type=int, default=20)
    ap.add_argument("--expect", action="append", default=[],
                    metavar="QUERY=ID,ID",
                    help="fail unless each id is among QUERY's first hits")
    args = ap.parse_args()
    expectations = []
    for item in args.expect:
        query, sep, ids = item.partition("=")
        if not sep or not query or not ids:
            ap.error("--expect needs QUERY=ID,ID,...: %r" % item)
        expectations.append((query, [i for i in ids.split(",") if i]))

    found = expected = first = 0
    rr_sum = 0.0
    for query, wanted in JUDGED:
        ids = search(args.program, args.storage, args.index, query, args.depth)
        ranks = {w: (ids.index(w) + 1 if w in ids else None) for w in wanted}
        got = [r for r in ranks.values() if r is not None]
        found += len(got)
        expected += len(wanted)
        first += 1 if ids and ids[0] in wanted else 0
        rr_sum += 1.0 / min(got) if got else 0.0
        shown = " ".join(f"{w}={r if r else '-'}" for w, r in ranks.items())
        print(f"{query:22} {len(got)}/{len(wanted)}  {shown}")
        if args.verbose:
            print("    " + " ".join(str(i) for i in ids))
    n = len(JUDGED)
    print(f"found@{args.depth} {found}/{expected} = {found / expected:.3f}   "
          f"first@1 {first}/{n}   MRR {rr_sum / n:.3f}")
    failures = []
    if found < args.min_found:
        failures.append(f"found {found}, want at least {args.min_found}")
    for query, wanted in expectations:
        ids = search(args.program, args.storage, args.index, query,
                     args.expect_depth)
        missing = [w for w in wanted if w not in ids]
        if missing:
            failures.append(f"{query!r}: {', '.join(missing)} not in the first "
                            f"{args.expect_depth} ({' '.join(map(str, ids))})")
        else:
            print(f"{query!r}: " + " ".join(
                f"{w}={ids.index(w) + 1}" for w in wanted))
    for failure in failures:
        print("FAIL " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
