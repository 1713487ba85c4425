#!/usr/bin/env python3
"""Turns the JSON output of the benchmark programs into bench/results.md.

usage: report.py RESULTS_DIR OUTPUT_MD [--with-job-server]

Every row compares cases of one program run, so the ratios hold even when
the machine is busy; the medians of three repetitions are used. CPU time is
used where the whole cost is in this process, wall time where a server in
another process does part of the work.
"""
import datetime
import glob
import json
import os
import platform
import subprocess
import sys

UNIT = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}


def plain_name(run_name):
    """BM_x/10/iterations:2/real_time -> BM_x/10: the case without its run settings."""
    settings = ("min_time:", "iterations:", "repeats:", "real_time", "manual_time", "threads:")
    return "/".join(p for p in run_name.split("/") if not p.startswith(settings))


def load(results_dir):
    runs, contexts = {}, {}
    for path in sorted(glob.glob(os.path.join(results_dir, "*.json"))):
        with open(path) as f:
            data = json.load(f)
        contexts[os.path.basename(path)] = data.get("context", {})
        for b in data["benchmarks"]:
            if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
                continue
            name = plain_name(b["run_name"])
            if b.get("error_occurred"):
                runs[name] = {"error": b.get("error_message", "error")}
                continue
            scale = UNIT[b["time_unit"]]
            entry = dict(b)
            entry["cpu"] = b["cpu_time"] * scale
            entry["real"] = b["real_time"] * scale
            runs[name] = entry
    return runs, contexts


def machine():
    model = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    mem_kib = 0
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemTotal:"):
                mem_kib = int(line.split()[1])
    nproc = subprocess.run(["nproc"], capture_output=True, text=True).stdout.strip()
    return model, nproc, mem_kib


def fmt_time(seconds):
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6), ("ns", 1e-9)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def verdict(holds, miss_text=""):
    return "holds" if holds else f"**misses** {miss_text}".rstrip()


class Report:
    def __init__(self, runs):
        self.runs = runs
        self.lines = []
        self.missing = []

    def get(self, name):
        run = self.runs.get(name)
        if run is None or "error" in run:
            self.missing.append(name if run is None else f"{name} ({run['error']})")
            return None
        return run

    def add(self, *lines):
        self.lines.extend(lines)

    def table(self, header, rows):
        self.add("| " + " | ".join(header) + " |", "|" + "---|" * len(header))
        for row in rows:
            self.add("| " + " | ".join(str(c) for c in row) + " |")
        self.add("")


def xml_rows(r):
    r.add("## 1. XML lookups: `qz::findAnyNodeWithName` against libxml2's XPath",
          "",
          "An answer of n nodes (a root with n/3 `<item><v>text</v></item>`); the wanted",
          "element stands in the first item, whose subtree the search visits last. The XPath",
          "peer creates a context and evaluates `//wanted`; the set-up checks that both find",
          "the same node. The document-order walk is no lookup of the library: it is the",
          "floor of any search that visits every node once, in the order of memory.",
          "CPU time, median of three.",
          "")
    sizes = (1000, 100000, 1000000)
    rows, per_node, speedups = [], {}, {}
    for n in sizes:
        qz = r.get(f"BM_findAnyNodeWithName/{n}")
        xp = r.get(f"BM_xpathDescendant/{n}")
        walk = r.get(f"BM_documentOrderWalk/{n}")
        if not (qz and xp and walk):
            continue
        nodes = qz.get("nodes", n)
        per_node[n] = qz["cpu"] / nodes
        speedups[n] = xp["cpu"] / qz["cpu"]
        rows.append([f"{n:,}", fmt_time(qz["cpu"]), f"{per_node[n] * 1e9:.2f} ns",
                     fmt_time(xp["cpu"]), f"{speedups[n]:.2f}x",
                     fmt_time(walk["cpu"]), f"{xp['cpu'] / walk['cpu']:.2f}x",
                     f"{qz.get('allocs_per_call', float('nan')):g}"])
    r.table(["nodes", "findAnyNodeWithName", "per node", "XPath //wanted",
             "XPath time / ours", "document-order walk", "XPath / walk", "allocations per call"], rows)

    child_rows = []
    for n in (1000, 1000000):
        c = r.get(f"BM_findImmediateChildWithName/{n}")
        if c:
            child_rows.append([f"{n:,}", fmt_time(c["cpu"]), f"{c.get('allocs_per_call', float('nan')):g}"])
    r.add("`qz::findImmediateChildWithName` for the root's last child (a third of the nodes are children of the root):", "")
    r.table(["nodes", "time", "allocations per call"], child_rows)

    targets = []
    if 1000000 in speedups:
        s = speedups[1000000]
        walk = r.get("BM_documentOrderWalk/1000000")
        xp = r.get("BM_xpathDescendant/1000000")
        floor = xp["cpu"] / walk["cpu"] if walk and xp else float("nan")
        big = r.runs.get("BM_findAnyNodeWithName/1000000", {}).get("tree_bytes", 0) / 1e6
        why = (f"by {5 / s:.1f}x (XPath/ours = {s:.2f}, wanted 5). Why: at 10^6 nodes the tree "
               f"({big:.0f} MB) is far beyond the 32 MiB L3, so every search that visits all nodes is bound "
               f"by memory; even the bare document-order walk is only {floor:.2f}x faster than XPath, "
               f"so 5x is out of reach for any full visit. Our visiting order (a run of siblings "
               f"to its end before any child, then the subtrees from the last sibling back) touches "
               f"each sibling twice and the subtrees against the order of memory; prefetching the "
               f"previous sibling halved that cost, the rest is inherent in the order")
        targets.append(["at least 5x faster than XPath at 10^6 nodes", f"{s:.2f}x", verdict(s >= 5, why)])
    if 100000 in per_node and 1000000 in per_node:
        g = per_node[1000000] / per_node[100000]
        walk5 = r.get("BM_documentOrderWalk/100000")
        walk6 = r.get("BM_documentOrderWalk/1000000")
        wg = (walk6["cpu"] / 1000000) / (walk5["cpu"] / 100000) if walk5 and walk6 else float("nan")
        small = r.runs.get("BM_findAnyNodeWithName/100000", {}).get("tree_bytes", 0) / 1e6
        why = (f"by {g / 1.2:.2f}x (per-node cost grows {g:.2f}x, wanted at most 1.2x). Why: the "
               f"10^5-node tree ({small:.0f} MB) fits in the L3 cache, the 10^6-node one does not; the bare "
               f"walk grows {wg:.2f}x per node across the same step. The work per node is constant "
               f"(no step depends on the size)")
        targets.append(["linear: 10^6 costs at most 12x of 10^5 (per node at most 1.2x)",
                        f"{g:.2f}x per node ({g * 10:.1f}x total)", verdict(g <= 1.2, why)])
    allocs = []
    for name in ("BM_findAnyNodeWithName", "BM_findImmediateChildWithName"):
        for n in sizes:
            run = r.runs.get(f"{name}/{n}")
            if run and "allocs_per_call" in run:
                allocs.append(run["allocs_per_call"])
    if allocs:
        targets.append(["no heap allocation inside findAnyNodeWithName / findImmediateChildWithName "
                        "(global operator new counted around the calls)",
                        f"{max(allocs):g} per call", verdict(max(allocs) == 0, "")])
    r.add("Targets:", "")
    r.table(["target", "measured", "verdict"], targets)


def scrambling_rows(r):
    r.add("## 2. Scrambling: `qz::WS::encrypt` / `decrypt` against libcurl's URL escaping alone",
          "",
          "Random printable text with blanks. Peers: `curl_easy_escape` and `curl_easy_unescape`",
          "of the same text. Speed ratio = peer time / our time (1 = as fast as the escaping",
          "alone). CPU time, median of three.",
          "")
    rows, targets = [], []
    for size, label in ((1024, "1 KiB"), (1 << 20, "1 MiB")):
        enc = r.get(f"BM_encrypt/{size}")
        dec = r.get(f"BM_decrypt/{size}")
        esc = r.get(f"BM_curlEscape/{size}")
        une = r.get(f"BM_curlUnescape/{size}")
        if not (enc and dec and esc and une):
            continue
        mib = size / (1 << 20)
        enc_ratio = esc["cpu"] / enc["cpu"]
        rows.append([label, f"{mib / enc['cpu']:.0f} MiB/s", f"{mib / dec['cpu']:.0f} MiB/s",
                     f"{mib / esc['cpu']:.0f} MiB/s", f"{mib / une['cpu']:.0f} MiB/s",
                     f"{enc_ratio:.2f}x", f"{esc['cpu'] / dec['cpu']:.2f}x", f"{une['cpu'] / dec['cpu']:.2f}x"])
        targets.append([f"encrypt at least 0.5x the speed of the escaping alone ({label})",
                        f"{enc_ratio:.2f}x",
                        verdict(enc_ratio >= 0.5, f"by {0.5 / enc_ratio:.2f}x")])
    r.table(["text", "encrypt", "decrypt", "curl escape", "curl unescape",
             "encrypt / escape speed", "decrypt / escape speed", "decrypt / unescape speed"], rows)
    r.add("Before the change in this branch, the byte shift ran its wrap loops for every byte",
          "(about 10 ns per byte, as much as the escaping itself): in a run of this program at",
          "the branch's start, encrypt was at 0.66x (1 KiB) and 0.52x (1 MiB) of the escaping,",
          "decrypt at 0.29x (1 KiB) and 0.13x (1 MiB) of the unescaping it ends with. The shift now",
          "reads a table of all (key byte, text byte) pairs built once per process; the result",
          "is the same byte for byte (unit tests, and a comparison of old and new on 20,000",
          "random texts and keys).",
          "",
          "Targets:", "")
    r.table(["target", "measured", "verdict"], targets)


def job_body_rows(r):
    r.add("## 3. Finalization body against the number of files",
          "",
          "`qz::detail::finalizationBody(ws, qz::detail::listTransferredFiles(stats))`, the body",
          "that `qz::WS::finalizeJob` sends, for n files with names like",
          "`./run 7/section_12/frame_000123.dat`. The lists alone are shown apart. CPU time,",
          "median of three.",
          "")
    sizes = (1000, 10000, 100000)
    rows, times = [], {}
    for n in sizes:
        body = r.get(f"BM_finalizationBody/{n}")
        lists = r.get(f"BM_listTransferredFiles/{n}")
        if not (body and lists):
            continue
        times[n] = body["cpu"]
        growth = f"{body['cpu'] / times[n // 10]:.1f}x" if n // 10 in times else ""
        rows.append([f"{n:,}", fmt_time(body["cpu"]), f"{body['cpu'] / n * 1e9:.0f} ns",
                     growth, f"{body.get('body_bytes', 0) / 1e6:.2f} MB", fmt_time(lists["cpu"])])
    r.table(["files", "body", "per file", "growth for 10x files", "body size", "lists alone"], rows)
    targets = []
    for n in (10000, 100000):
        if n in times and n // 10 in times:
            g = times[n] / times[n // 10]
            lists_now = r.runs[f"BM_listTransferredFiles/{n}"]["cpu"]
            lists_before = r.runs[f"BM_listTransferredFiles/{n // 10}"]["cpu"]
            rest = (times[n] - lists_now) / (times[n // 10] - lists_before)
            why = (f"by {g / 12:.2f}x. Why: the work per file is constant, but the data outgrow the "
                   f"caches: walking the engine's per-file map alone grows {lists_now / lists_before:.0f}x "
                   f"(a std::map node and two name strings per file; 10^5 files are about 30 MB, the size "
                   f"of the L3 cache), the rest of the body {rest:.1f}x (texts of several MB, beyond the "
                   f"1 MiB L2 cache, and fresh pages for them)")
            targets.append([f"10x the files costs at most 12x ({n // 10:,} -> {n:,})", f"{g:.1f}x",
                            verdict(g <= 12, why)])
    r.add("The lists and the body are built by appending in place (with the body reserved",
          "up front); no step copies what came before, so the work per file does not grow.",
          "", "Targets:", "")
    r.table(["target", "measured", "verdict"], targets)


def job_server_rows(r, have_server):
    r.add("## 4. Against the reference job server (`qzws-jobserver` on 127.0.0.1)", "")
    if not have_server:
        r.add("Not measured: the reference job server is not part of this tree yet.", "")
        return
    r.add("### 4a. Keep-alive round trip: `qz::WS::doNothing` against a minimal libcurl program",
          "",
          "A logged-in client calls `doNothing` in a loop; the peer does the same GET",
          "(`jsp/doNothing.jsp?rand=N`) with a fresh easy handle per request and the same",
          "options (URL, user agent, verbose off, TLS checks, the client's cookie file as file",
          "and jar). Wall time (the server works in another process), median of three.",
          "")
    ws = r.get("BM_wsDoNothing")
    curl = r.get("BM_curlDoNothing")
    if ws and curl:
        ratio = ws["real"] / curl["real"]
        r.table(["qz::WS::doNothing", "libcurl alone", "ours / libcurl"],
                [[fmt_time(ws["real"]), fmt_time(curl["real"]), f"{ratio:.2f}x"]])
        r.add("Targets:", "")
        r.table(["target", "measured", "verdict"],
                [["within 1.2x of the libcurl program", f"{ratio:.2f}x",
                  verdict(ratio <= 1.2, f"by {ratio / 1.2:.2f}x")]])

    r.add("### 4b. Summary log upload: `qz::WS::uploadSummaryLog` for logs of 1, 10 and 100 MB",
          "",
          "A client with a job (login and createJob against the server) is put into \"upload",
          "done\"; the engine's summary log file holds lines as the engine writes them. The",
          "time is that of the whole operation (reading, encoding, sending, the server's",
          "answer), wall time, median of three. The peak resident memory (VmHWM) is that of a",
          "fresh process that sends the 100 MB log once.",
          "")
    rows, times = [], {}
    for mb in (1, 10, 100):
        run = r.get(f"BM_uploadSummaryLog/{mb}")
        if not run:
            continue
        times[mb] = run["real"]
        growth = f"{run['real'] / times[mb // 10]:.1f}x" if mb // 10 in times else ""
        rows.append([f"{mb} MB", fmt_time(run["real"]), f"{mb / run['real']:.0f} MB/s", growth])
    r.table(["log", "time", "log bytes per second", "growth for 10x the log"], rows)
    targets = []
    for mb in (10, 100):
        if mb in times and mb // 10 in times:
            g = times[mb] / times[mb // 10]
            targets.append([f"linear: 10x the log costs at most 12x ({mb // 10} -> {mb} MB)", f"{g:.1f}x",
                            verdict(g <= 12, f"by {g / 12:.2f}x")])
    peak = r.get("BM_uploadSummaryLogPeakMemory/100")
    if peak:
        log_bytes = peak["log_bytes"]
        limit = 4 * log_bytes + 16 * 1024 * 1024
        hwm = peak["peak_rss_bytes"]
        r.add(f"Peak resident memory for the 100 MB log: {hwm / 1e6:.0f} MB "
              f"({hwm / log_bytes:.2f}x the log; {peak['rss_before_upload_bytes'] / 1e6:.0f} MB of it "
              f"before the call), limit {limit / 1e6:.0f} MB.", "")
        targets.append(["peak resident memory under 4x the log plus 16 MiB (100 MB log)",
                        f"{hwm / 1e6:.0f} MB of {limit / 1e6:.0f} MB",
                        verdict(hwm < limit, f"by {hwm / limit:.2f}x")])
    r.add("Before the changes in this branch the 100 MB log could not be sent at all: libcurl",
          "escapes into at most 24 MB of output per call, and the whole log went to one call, so",
          "`uploadSummaryLog` failed with \"unable to escape the string\" for any log whose",
          "encoding passes 24 MB (about 16 MB of these logs), as `encrypt` did for a file list",
          "as long. Had the escaping worked, the process would have held the log and the escaped",
          "text twice while it was copied out of libcurl, and then the body three times while",
          "curlpp's PostFields option was set (the option's copy and the copy the handle keeps):",
          "about three times the encoding, which for these logs is 1.5 times the log, so about",
          "4.5 times the log, over the limit. Now `url_encode` escapes in pieces of 64 KiB, the",
          "body is encoded piece by piece as the log file is read into a body reserved once, and",
          "libcurl reads the body in place (CURLOPT_POSTFIELDS on the caller's buffer, the same",
          "options otherwise): the process holds the encoded body and one piece.",
          "", "Targets:", "")
    r.table(["target", "measured", "verdict"], targets)


def main():
    results_dir, output = sys.argv[1], sys.argv[2]
    have_server = len(sys.argv) > 3 and sys.argv[3] == "--with-job-server"
    runs, contexts = load(results_dir)
    model, nproc, mem_kib = machine()
    r = Report(runs)
    now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    build = {c.get("library_build_type", "?") for c in contexts.values()}
    r.add("# Benchmark results",
          "",
          "Written by `scripts/bench`; do not edit by hand.",
          "",
          f"- date: {now}",
          f"- machine: {model}, nproc {nproc}, memory {mem_kib / 1024 / 1024:.1f} GiB, {platform.system()} {platform.release()}",
          f"- build: Release for the code under test (Debian's Google Benchmark reports itself as built {', '.join(sorted(build)).lower()}; that concerns only the harness)",
          "- the machine is shared with other builds: compare rows of this run with each other only",
          "")
    xml_rows(r)
    scrambling_rows(r)
    job_body_rows(r)
    job_server_rows(r, have_server)
    failed_list = os.path.join(results_dir, "failed.txt")
    if os.path.exists(failed_list):
        with open(failed_list) as f:
            r.missing.extend(f"{name.strip()} failed (see the output of scripts/bench)" for name in f if name.strip())
    if r.missing:
        r.add("## Missing results", "", *[f"- {m}" for m in r.missing], "")
    with open(output, "w") as f:
        f.write("\n".join(r.lines).rstrip() + "\n")


if __name__ == "__main__":
    main()
