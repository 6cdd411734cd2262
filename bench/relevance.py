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

The question set (--questions [FILE], default bench/questions.json): natural-
language questions ("program to edit photos"), each with graded judgments
(2 = what was asked for, 1 = acceptable), sent like the queries above (as
typed, first DEPTH hits). Printed per question: nDCG@DEPTH and the number of
hits of each system, then side by side the mean nDCG@DEPTH over questions
(gain = grade, discount log2(rank + 1), ideal from the judgments) and the
number of questions with zero hits. Systems: api_search on --storage, and
with --baseline PROGRAM (bench_baseline_bm25; needs --corpus) plain Xapian
BM25 with the words joined by OR on its own index of the same corpus,
without and with English stemming, which also reports its median
in-process time per question. --baseline-work DIR keeps the baseline's
indexes there between runs (default: a temporary directory).

    bench/relevance.py --storage DIR --program BUILD/src/api_search \
        --questions --corpus CORPUS.ndjson \
        --baseline BUILD/bench/bench_baseline_bm25 [--question-details]

Checks of the question set (exit status 1 on failure): --min-ndcg X needs
api_search's mean nDCG at least X, where X is a number or "baseline" /
"baseline-en" (the unstemmed / stemmed baseline's mean in the same run);
--max-zero-hit-questions N allows at most N questions without hits.
--corpus FILE also checks that every judged package of both sets is in the
corpus (a missing one fails the run: its judgment could never be met).
"""

import argparse
import json
import math
import os
import shutil
import subprocess
import sys
import tempfile
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


def load_questions(path):
    """[(question, {id: grade})] from the question file (bench/questions.json)."""
    with open(path, encoding="utf-8") as f:
        data = json.load(f)
    questions = []
    for item in data["questions"]:
        grades = item["relevant"]
        if not item["q"] or not grades or \
                any(g not in (1, 2) for g in grades.values()):
            raise ValueError(f"{path}: bad question {item!r}")
        questions.append((item["q"], grades))
    return questions


def corpus_ids(path):
    """The set of document ids of an NDJSON corpus."""
    with open(path, encoding="utf-8") as f:
        return {json.loads(line)["id"] for line in f if line.strip()}


def ndcg(ids, grades, depth):
    """nDCG@depth of ranked ids against graded judgments {id: grade}."""
    dcg = sum(grades.get(i, 0) / math.log2(rank + 2)
              for rank, i in enumerate(ids[:depth]))
    ideal = sorted(grades.values(), reverse=True)[:depth]
    idcg = sum(g / math.log2(rank + 2) for rank, g in enumerate(ideal))
    return dcg / idcg


def baseline_answers(program, corpus, work, stems, questions, depth):
    """{stem: {question: (ids, total, microseconds)}} from one run of the
    baseline per stemming, run side by side (each builds its own index)."""
    text = "".join(q + "\n" for q, _ in questions).encode()
    runs = {}
    for stem in stems:
        db = os.path.join(work, "baseline-" + stem)
        runs[stem] = subprocess.Popen(
            [program, "--stem", stem, "--depth", str(depth), "--rounds", "5",
             corpus, db], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE)
    # Each prints its build line once its index is ready; the questions go
    # out only when both are, so one's build does not slow the other's
    # answers.
    built = {stem: proc.stderr.readline() for stem, proc in runs.items()}
    outputs = {stem: proc.communicate(text) for stem, proc in runs.items()}
    outputs = {stem: (out, built[stem] + err)
               for stem, (out, err) in outputs.items()}
    answers = {}
    for stem, (out, err) in outputs.items():
        if runs[stem].returncode != 0:
            raise RuntimeError(f"{program} --stem {stem}: {err[:300]!r}")
        answers[stem] = {}
        for line in out.decode().splitlines():
            item = json.loads(line)
            answers[stem][item["q"]] = (item["ids"], item["total"], item["us"])
    return answers


def run_questions(args, questions):
    """Prints the question set's figures; returns its failed checks."""
    systems = [("lumidex", None)]
    if args.baseline:
        systems += [("bm25", "none"), ("bm25+stem(en)", "en")]
    answers = {"lumidex": {}}
    for q, _ in questions:
        ids = search(args.program, args.storage, args.index, q, args.depth)
        answers["lumidex"][q] = (ids, len(ids), None)
    if args.baseline:
        work = args.baseline_work or tempfile.mkdtemp(prefix="lumidex-bm25.")
        try:
            by_stem = baseline_answers(args.baseline, args.corpus, work,
                                       [stem for _, stem in systems[1:]],
                                       questions, args.depth)
            for name, stem in systems[1:]:
                answers[name] = by_stem[stem]
        finally:
            if not args.baseline_work:
                shutil.rmtree(work, ignore_errors=True)
    means, zeros = {}, {}
    print(f"\nquestions: nDCG@{args.depth} (hits) for "
          + " | ".join(name for name, _ in systems))
    for q, grades in questions:
        cells = []
        for name, _ in systems:
            ids, total, _ = answers[name][q]
            score = ndcg(ids, grades, args.depth)
            means[name] = means.get(name, 0.0) + score / len(questions)
            zeros[name] = zeros.get(name, 0) + (1 if total == 0 else 0)
            cells.append(f"{score:.3f} ({min(total, args.depth)})")
        print(f"{q[:50]:50} " + " | ".join(cells))
        if args.question_details:
            for name, _ in systems:
                ids = answers[name][q][0]
                shown = " ".join(f"{i}*{grades[i]}" if i in grades else i
                                 for i in ids)
                print(f"    {name}: {shown}")
    print(f"{'system':16} nDCG@{args.depth:<4} zero-hit questions / "
          f"{len(questions)}   median in-process us")
    for name, _ in systems:
        times = sorted(t for _, _, t in answers[name].values() if t is not None)
        median = f"{times[len(times) // 2]:.0f}" if times else "-"
        print(f"{name:16} {means[name]:.3f}    {zeros[name]:<24} {median}")
    failures = []
    if args.min_ndcg is not None:
        wanted = {"baseline": "bm25", "baseline-en": "bm25+stem(en)"}
        floor_name = wanted.get(args.min_ndcg)
        floor = means[floor_name] if floor_name else float(args.min_ndcg)
        if means["lumidex"] < floor:
            failures.append(f"questions: nDCG@{args.depth} "
                            f"{means['lumidex']:.3f}, want at least "
                            f"{floor:.3f} ({args.min_ndcg})")
    if args.max_zero_hit_questions is not None and \
            zeros["lumidex"] > args.max_zero_hit_questions:
        failures.append(f"questions: {zeros['lumidex']} without hits, want "
                        f"at most {args.max_zero_hit_questions}")
    return failures


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
    ap.add_argument("--questions", nargs="?", metavar="FILE",
                    const=os.path.join(here, "questions.json"),
                    help="also run the question set (default file: "
                         "bench/questions.json)")
    ap.add_argument("--question-details", action="store_true",
                    help="print every system's first hits per question")
    ap.add_argument("--corpus", metavar="NDJSON",
                    help="the corpus the index holds: judged packages are "
                         "checked against it and the baseline indexes it")
    ap.add_argument("--baseline", metavar="PROGRAM",
                    help="bench_baseline_bm25, compared on the questions")
    ap.add_argument("--baseline-work", metavar="DIR",
                    help="keep the baseline's indexes in DIR")
    ap.add_argument("--min-ndcg", metavar="X|baseline|baseline-en",
                    help="fail when api_search's mean nDCG on the questions "
                         "is below X or below the named baseline's")
    ap.add_argument("--max-zero-hit-questions", type=int, metavar="N",
                    help="fail when more questions than N get no hits")
    args = ap.parse_args()
    if args.baseline and not args.corpus:
        ap.error("--baseline needs --corpus")
    if args.min_ndcg in ("baseline", "baseline-en") and not args.baseline:
        ap.error("--min-ndcg %s needs --baseline" % args.min_ndcg)
    if args.min_ndcg not in (None, "baseline", "baseline-en"):
        try:
            float(args.min_ndcg)
        except ValueError:
            ap.error("--min-ndcg needs a number, baseline or baseline-en")
    if (args.min_ndcg is not None or args.max_zero_hit_questions is not None
            or args.baseline) and not args.questions:
        ap.error("--min-ndcg, --max-zero-hit-questions and --baseline "
                 "need --questions")
    questions = load_questions(args.questions) if args.questions else []
    failures = []
    if args.corpus:
        ids = corpus_ids(args.corpus)
        judged = {i for _, wanted in JUDGED for i in wanted}
        judged |= {i for _, grades in questions for i in grades}
        failures += [f"judged package {i} is not in {args.corpus}"
                     for i in sorted(judged - ids)]
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
    if questions:
        failures += run_questions(args, questions)
    for failure in failures:
        print("FAIL " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
