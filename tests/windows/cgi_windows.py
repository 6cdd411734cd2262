#!/usr/bin/env python3
"""cgi_windows.py: the Windows programs as CGI processes under wine64, next
to the Linux build on the same documents.

Run by scripts/test-windows (python3 tests/windows/cgi_windows.py --linux
build --windows build-windows). Each storage directory is given to the
Windows programs as a Windows path (Z:\\...\\data, wine's view of this
machine's file system). It checks:

  * lumidex.exe imports a small corpus (non-ASCII text, line ends inside
    strings) and the same corpus goes into the Linux build's storage with
    the Linux tool;
  * binary output: every header line ends with CR LF and the body is written
    byte for byte (the sandbox page, whose lines end in LF, comes out with
    exactly the bytes of web/sandbox.html);
  * binary input: a body with CR LF between its tokens is read whole from
    standard input and from a POST_BODY_FILE (a JSON error after CR LF
    reports the same byte offset as on Linux; text mode would drop the CRs);
  * the differential: a list of requests goes through api_router and
    api_search of both builds in the same order; status and body must be
    equal, after the search time (elapsed_ms), the clock times and the
    storage paths are masked.

Prints one line per case and "N passed, N failed"; exits 1 on any failure.
Every wine call has a time limit (a hung process fails its case instead of
the run).
"""
import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

WINE_TIMEOUT = 120


def winpath(path):
    """The Windows name of a Linux path under wine (drive Z: is /)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Runner:
    def __init__(self, linux, windows, wine, work):
        self.linux = linux
        self.windows = windows
        self.wine = wine
        self.work = work
        self.passed = 0
        self.failed = 0
        self.env = dict(os.environ)
        self.env.setdefault("WINEPREFIX", os.path.join(windows, "wineprefix"))
        self.env["WINEDEBUG"] = "-all"
        self.env["WINEDLLOVERRIDES"] = "mscoree,mshtml="

    def check(self, name, ok, detail=""):
        if ok:
            self.passed += 1
            print("ok   " + name)
        else:
            self.failed += 1
            print("FAIL " + name + (": " + detail if detail else ""))

    def run(self, argv, env, stdin=b""):
        """Runs argv with only the given environment (plus wine's own
        variables for .exe files); returns (exit code, stdout bytes)."""
        full = {"PATH": "/usr/bin:/bin"}
        if argv[0].endswith(".exe"):
            for k in ("WINEPREFIX", "WINEDEBUG", "WINEDLLOVERRIDES", "HOME"):
                if k in self.env:
                    full[k] = self.env[k]
            argv = [self.wine] + argv
        full.update(env)
        p = subprocess.run(argv, input=stdin, env=full, capture_output=True,
                           timeout=WINE_TIMEOUT)
        self.stderr = p.stderr
        return p.returncode, p.stdout

    def cgi(self, side, program, storage, method, path, query="", body=None,
            body_file=None):
        exe = os.path.join(self.windows, program + ".exe") if side == "win" \
            else os.path.join(self.linux, "src", program)
        env = {"REQUEST_METHOD": method, "PATH_INFO": path,
               "QUERY_STRING": query, "GATEWAY_INTERFACE": "CGI/1.1",
               "LUMIDEX_STORAGE_DIR": storage}
        stdin = b""
        if body is not None:
            env["CONTENT_LENGTH"] = str(len(body))
            stdin = body
        if body_file is not None:
            env["POST_BODY_FILE"] = body_file
        return self.run([exe], env, stdin)[1]


def split(raw):
    """(status, header bytes, body bytes) of a CGI response."""
    end = raw.find(b"\r\n\r\n")
    if end < 0:
        return 0, raw, b""
    head, body = raw[:end + 4], raw[end + 4:]
    m = re.match(rb"Status: (\d+)", head)
    return (int(m.group(1)) if m else 200), head, body


def mask(body, paths):
    body = re.sub(rb'"elapsed_ms":[0-9.]+', b'"elapsed_ms":0', body)
    body = re.sub(rb"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", b"<time>", body)
    for p in paths:
        for form in (p, json.dumps(p)[1:-1]):
            body = body.replace(form.encode(), b"<storage>")
    return body


def corpus():
    docs = []
    words = ["lamp", "desk", "chair", "shelf", "table", "stool", "mirror",
             "carpet", "curtain", "sofa"]
    for i in range(30):
        w = words[i % len(words)]
        docs.append({
            "id": str(i + 1),
            "name": "%s %d" % (w, i),
            "text": "A %s made of oak; line one\r\nline two\nCafé naïve "
                    "Zürich %d" % (w, i),
            "price": i * 3 + 0.5,
            "tags": [w, "n%d" % (i % 4)],
        })
    return "".join(json.dumps(d, ensure_ascii=False) + "\n" for d in docs)


REQUESTS = [
    # (program, method, path, query, body)
    ("api_router", "GET", "/indexes", "", None),
    ("api_router", "GET", "/indexes/things", "", None),
    ("api_router", "GET", "/indexes/things/search", "q=lamp", None),
    ("api_router", "GET", "/indexes/things/search", "q=lmap", None),
    ("api_router", "GET", "/indexes/things/search", "q=cafe+zur", None),
    ("api_router", "GET", "/indexes/things/search", "q=%22line+two%22", None),
    ("api_router", "GET", "/indexes/things/search", "q=oak+-chair&limit=5",
     None),
    ("api_router", "GET", "/indexes/things/search", "q=&limit=3&offset=4",
     None),
    ("api_router", "POST", "/indexes/things/search", "",
     b'{"q":"mirror",\r\n "limit":2}'),
    ("api_router", "GET", "/indexes/things/documents/7", "", None),
    ("api_router", "GET", "/indexes/things/documents/999", "", None),
    ("api_router", "GET", "/indexes/things/documents", "", None),
    ("api_router", "GET", "/indexes/things/stats", "", None),
    ("api_router", "POST", "/indexes/things/documents", "",
     b'[{"id":"x1",\r\n"name":"new lamp\\r\\nwith CR LF",\r\n'
     b'"text":"\xc3\xa9t\xc3\xa9"}]\r\n'),
    # A fault after two CR LF: the offset in the message shows whether
    # standard input was read in binary mode (text mode drops the CRs).
    ("api_router", "POST", "/indexes/things/documents", "",
     b'[{"id":"y1"},\r\n\r\n{"id":"y2" x}]'),
    ("api_router", "GET", "/indexes/things/documents/x1", "", None),
    ("api_router", "GET", "/indexes/things/search", "q=%C3%A9t%C3%A9", None),
    ("api_router", "DELETE", "/indexes/things/documents/3", "", None),
    ("api_router", "DELETE", "/indexes/things/documents/3", "", None),
    ("api_router", "POST", "/indexes", "", b'{"uid":"second","primaryKey":"sku"}'),
    ("api_router", "POST", "/indexes", "", b'{"uid":"second"}'),
    ("api_router", "POST", "/indexes", "", b'{"uid":"bad name"}'),
    ("api_router", "GET", "/indexes", "", None),
    ("api_router", "DELETE", "/indexes/second", "", None),
    ("api_router", "DELETE", "/indexes/second", "", None),
    ("api_router", "GET", "/indexes/missing/search", "q=a", None),
    ("api_router", "GET", "/indexes/things/documents/1/x", "", None),
    ("api_router", "PUT", "/indexes", "", None),
    ("api_router", "GET", "/status", "format=json", None),
    ("api_router", "GET", "/nowhere", "", None),
    ("api_search", "GET", "/indexes/things/search", "q=desk&limit=2", None),
    ("api_search", "GET", "", "index=things&q=sofa+oak", None),
    ("api_search", "POST", "/indexes/things/search", "",
     b'{"query":"carpet",\r\n"offset":1}'),
    ("api_search", "GET", "", "q=lamp", None),
    ("api_search", "GET", "/indexes/nothere/search", "q=lamp", None),
]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--linux", required=True, help="the Linux build directory")
    ap.add_argument("--windows", required=True,
                    help="the Windows build directory")
    ap.add_argument("--source", default=os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", ".."))
    args = ap.parse_args()
    wine = shutil.which("wine64") or "/usr/lib/wine/wine64"
    work = tempfile.mkdtemp(prefix="lmxwin-")
    try:
        r = Runner(os.path.abspath(args.linux), os.path.abspath(args.windows),
                   wine, work)
        run_all(r, args, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("%d passed, %d failed" % (r.passed, r.failed))
    return 1 if r.failed else 0


def run_all(r, args, work):
    data = os.path.join(work, "corpus.ndjson")
    with open(data, "w", encoding="utf-8", newline="") as f:
        f.write(corpus())
    lin_store = os.path.join(work, "linux", "data")
    win_store_unix = os.path.join(work, "windows", "data")
    win_store = winpath(win_store_unix)

    # Import: the Windows tool with Windows paths, the Linux tool likewise.
    code, out = r.run([os.path.join(r.windows, "lumidex.exe"), "-q",
                       "--storage-dir", win_store, "import", "things",
                       winpath(data)], {})
    r.check("lumidex.exe import exits 0", code == 0, "exit %d" % code)
    code, _ = r.run([os.path.join(r.linux, "tools", "lumidex"), "-q",
                     "--storage-dir", lin_store, "import", "things", data], {})
    r.check("Linux lumidex import exits 0", code == 0, "exit %d" % code)
    r.check("the Windows storage directory holds the index",
            os.path.isdir(os.path.join(win_store_unix, "things")))
    code, out = r.run([os.path.join(r.windows, "lumidex.exe"),
                       "--storage-dir", win_store, "stats", "things"], {})
    r.check("lumidex.exe stats counts the corpus",
            code == 0 and b'"document_count":30' in out.replace(b" ", b""),
            out[:200].decode("utf-8", "replace"))

    # Binary output: the sandbox page byte for byte, CR LF header lines.
    raw = r.cgi("win", "api_router", win_store, "GET", "/")
    status, head, body = split(raw)
    with open(os.path.join(args.source, "web", "sandbox.html"), "rb") as f:
        page = f.read()
    r.check("sandbox page: status 200", status == 200, head[:80].decode())
    r.check("sandbox page: header lines end with CR LF",
            head.endswith(b"\r\n\r\n") and b"\n" not in head.replace(b"\r\n", b""),
            repr(head[:120]))
    r.check("sandbox page: body is web/sandbox.html byte for byte",
            body == page, "%d bytes, want %d (%d CR LF in body)" %
            (len(body), len(page), body.count(b"\r\n")))

    # Binary input from a POST_BODY_FILE (a Windows path), CR LF inside.
    body_path = os.path.join(work, "body.json")
    with open(body_path, "wb") as f:
        f.write(b'[{"id":"f1",\r\n"name":"from a file\\r\\n"}]\r\n')
    for side, store in (("win", win_store), ("lin", lin_store)):
        bf = winpath(body_path) if side == "win" else body_path
        raw = r.cgi(side, "api_router", store, "POST",
                    "/indexes/files/documents", body_file=bf,
                    body=b"ignored")
        r.check("%s: POST_BODY_FILE with CR LF is read whole" % side,
                split(raw)[0] == 200, raw[:300].decode("utf-8", "replace"))

    # The storage checks: the same refusals on both hosts. Under wine a
    # directory's mode bits become its access list (o+w: Everyone may
    # write) and its owner.
    checks = [("is writable by every user", 0o777, True),
              ("is not a directory", None, False),
              ("does not exist", None, None)]
    for i, (reason, mode, is_dir) in enumerate(checks):
        unix = os.path.join(work, "check%d" % i, "store")
        os.makedirs(os.path.dirname(unix), mode=0o700)
        if is_dir:
            os.mkdir(unix)
            os.chmod(unix, mode)
        elif is_dir is False:
            open(unix, "w").close()
        for side in ("win", "lin"):
            tool = os.path.join(r.windows, "lumidex.exe") if side == "win" \
                else os.path.join(r.linux, "tools", "lumidex")
            where = winpath(unix) if side == "win" else unix
            code, _ = r.run([tool, "--storage-dir", where, "indexes"], {})
            r.check("%s: the engine refuses a storage path that %s" %
                    (side, reason),
                    code == 1 and reason.encode() in r.stderr,
                    "exit %d, %r" % (code, r.stderr[:300]))
        if is_dir:
            status = split(r.cgi("win", "api_router", winpath(unix), "GET",
                                 "/indexes"))[0]
            r.check("win: api_router answers 500 on that storage path",
                    status == 500, "status %d" % status)

    # The differential: same requests, same order, both builds.
    paths = [lin_store, win_store]
    for i, (prog, method, path, query, body) in enumerate(REQUESTS):
        win = r.cgi("win", prog, win_store, method, path, query, body)
        lin = r.cgi("lin", prog, lin_store, method, path, query, body)
        ws, wh, wb = split(win)
        ls, lh, lb = split(lin)
        name = "same answer %02d: %s %s %s?%s" % (i, prog, method, path, query)
        same = ws == ls and mask(wb, paths) == mask(lb, paths) and ws != 0
        r.check(name, same,
                "windows %d %r\n     linux   %d %r" % (ws, wb[:300], ls, lb[:300]))
        r.check("header bytes %02d: CR LF only, as on Linux" % i,
                wh == lh and b"\n" not in wh.replace(b"\r\n", b""),
                "windows %r linux %r" % (wh, lh))


if __name__ == "__main__":
    sys.exit(main())
