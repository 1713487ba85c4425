#!/usr/bin/python3
"""Writes bench/upload-results.md from the times that bench/upload_compare.sh measured.

The times file holds one run a line: section, tool, data set, seconds, CPU seconds (user + system of the
tool's processes), tab-separated.
"""

import argparse
import collections
import os
import platform
import statistics
import subprocess
import time

# Data set: label, files, bytes, rate unit, the peers, the target (engine's ratio to the best peer).
LOOPBACK_SETS = {
    "big": ("1 x 1 GiB", 1, 1 << 30, "MB/s", ["curl -T", "lftp put", "rclone"], 1.0),
    "small": ("2000 x 16 KiB, 20 folders", 2000, 2000 * 16 * 1024, "files/s",
              ["curl -Z", "lftp mirror", "rclone"], 1.3),
    "medium": ("200 x 1 MiB", 200, 200 << 20, "MB/s", ["curl -Z", "lftp mirror", "rclone"], 1.0),
}
# Data set: label, files, the target (engine's ratio to the best peer).
LINK_SETS = {
    "link-small": ("200 x 16 KiB", 200, 1.5),
    "link-medium": ("20 x 5 MiB", 20, 1.1),
}
LINK_PEERS = ["curl -Z", "lftp mirror", "rclone"]
# FTPS on pure-ftpd, data set: label, bytes, the peers. Smaller than the loopback sets where FTPS is slow.
FTPS_LOOPBACK_SETS = {
    "ftps-big": ("1 x 256 MiB", 256 << 20, ["curl -T", "lftp put", "rclone"]),
    "ftps-small": ("500 x 16 KiB, 5 folders", 500 * 16 * 1024, ["curl -Z", "lftp mirror", "rclone"]),
    "medium": ("200 x 1 MiB", 200 << 20, ["curl -Z", "lftp mirror", "rclone"]),
}
GIB = 1 << 30
# The engine over FTPS at most this many times its plain time on the same server.
FTPS_OVER_PLAIN_TARGET = 1.3
FTPS = ", FTPS"
ORDER = ["engine", "engine, no pipelining", "curl -T", "lftp put", "curl -Z", "lftp mirror", "rclone", "curl per file"]
NAMES = {
    "engine": "engine (upload_engine)",
    "engine, no pipelining": "engine, one command at a time",
    "curl -T": "curl -T",
    "lftp put": "lftp put",
    "curl -Z": "curl -Z --parallel-max 3",
    "lftp mirror": "lftp mirror -R --parallel=3",
    "rclone": "rclone copy --transfers 3",
    "curl per file": "curl, one process per file",
}
# The options that make each program speak FTPS (explicit TLS, the certificate checked against the run's authority).
FTPS_OPTIONS = {
    "engine": "--tls --ca-file",
    "curl": "--ssl-reqd --cacert",
    "lftp": "ftp:ssl-force, ssl:ca-file",
    "rclone": "explicit_tls, SSL_CERT_FILE",
}
# Connections each tool keeps open on the slow link.
LINK_CONNECTIONS = 3
HASH_TARGET = 1.10


# Where the engine's CPU goes, in the order of the report: what each sample's thread and call chain show.
PROFILE_PARTS = [
    "SHA-256 (the hashing worker)",
    "the hashing worker's hand-over (locks, wake-ups)",
    "reading the file (pread: page cache into the block)",
    "copies in user space (memcpy)",
    "TLS (encryption, records)",
    "SIGPIPE held around TLS writes",
    "the socket (send, TCP, loopback delivery)",
    "the loop (poll, its own code)",
    "start, login, closing, page faults",
]
WORKER_THREAD = "qz-sha256"


def profile_part(thread, leaf, stack):
    """The part of PROFILE_PARTS a perf sample belongs to."""
    if thread == WORKER_THREAD:
        return PROFILE_PARTS[0] if "libcrypto" in leaf else PROFILE_PARTS[1]
    if "libcrypto" in leaf or "libssl" in leaf:
        return PROFILE_PARTS[4]
    if "pread" in stack or "filemap_read" in stack or "shmem_file_read" in stack:
        return PROFILE_PARTS[2]
    if "memmove" in leaf or "memcpy" in leaf:
        return PROFILE_PARTS[3]
    if "sigprocmask" in leaf or "sigmask" in leaf or "sigpending" in leaf or "rt_sig" in stack:
        return PROFILE_PARTS[5]
    if any(mark in stack for mark in ["tcp_", "sendto", "sock_write", "__send", "sendmsg", "net_rx", "pvm_irq"]):
        return PROFILE_PARTS[6]
    if "poll" in stack or "upload_engine" in leaf:
        return PROFILE_PARTS[7]
    return PROFILE_PARTS[8]


def profile(path, hz):
    """CPU seconds by part in the output of `perf script -F comm,tid,ip,sym,dso` (call chains on)."""
    seconds = collections.Counter()
    for sample in open(path).read().split("\n\n"):
        lines = [line.strip() for line in sample.strip().splitlines() if line.strip()]
        if len(lines) < 2:
            continue
        seconds[profile_part(lines[0].rsplit(None, 1)[0], lines[1], " ".join(lines[1:]))] += 1 / hz
    return seconds


def profile_section(w, args):
    w("")
    w("## Where the engine's CPU goes")
    w("")
    if not args.profile_plain or not args.profile_tls:
        w("Not measured: perf is not installed here.")
        return
    hz, runs = float(args.profile_hz), int(args.profile_runs)
    ways = [profile(args.profile_plain, hz), profile(args.profile_tls, hz)]
    gib = [runs * 1.0, runs * 0.25]
    w("perf sampled the engine (`perf record -g`, %d per CPU second) sending 1 GiB to vsftpd over one" % hz)
    w("connection, and 256 MiB to pure-ftpd over FTPS, %d runs each; each sample goes to a part by its" % runs)
    w("thread and call chain. CPU seconds per GiB sent:")
    w("")
    w("| part | plain FTP | FTPS |")
    w("|---|---|---|")
    for part in PROFILE_PARTS:
        w("| %s | %s |" % (part, " | ".join("%.3f" % (way[part] / g) for way, g in zip(ways, gib))))
    w("| all | %s |" % " | ".join("%.3f" % (sum(way.values()) / g) for way, g in zip(ways, gib)))
    w("")
    w("Each block is read once (pread into a pooled block); the socket sends from it and the")
    w("worker hashes the same block, which goes back to the pool when both are done: no copy")
    w("in user space on the way, and no allocation once the pool holds a block for each.")
    w("What is left besides SHA-256 is what every tool pays: the page cache copied into the")
    w("block, and the block into the socket (on loopback the kernel's delivery to the server")
    w("runs on the sender's CPU as well). A file is not sent with sendfile: the hash would be")
    w("of bytes read apart from those sent, and a writer who changes the file in between")
    w("(through a shared mapping, which leaves no new modification time, or within the")
    w("timestamps' granularity) would leave a stored copy that differs from its recorded")
    w("SHA-256 with no check noticing; the worker would also have to read every byte itself,")
    w("which moves the read onto the thread that already binds. The data socket keeps the")
    w("kernel's buffer autotuning: fixed SO_SNDBUF sizes (256 KiB to 4 MiB) measured no better.")


def fields(text):
    return dict(kv.split("=", 1) for kv in text.split()) if text else {}


def cpu():
    for line in open("/proc/cpuinfo"):
        if line.startswith("model name"):
            return line.split(":", 1)[1].strip()
    return platform.processor()


def mem():
    for line in open("/proc/meminfo"):
        if line.startswith("MemTotal"):
            return "%.1f GiB" % (int(line.split()[1]) / 1024 / 1024)
    return "?"


def first_line(cmd):
    try:
        return subprocess.run(cmd, capture_output=True, text=True).stdout.splitlines()[0].strip()
    except (OSError, IndexError):
        return "?"


def package_version(name):
    return subprocess.run(["dpkg-query", "-W", "-f=${Version}", name], capture_output=True, text=True).stdout or "?"


def ftps_tables(w, runs, medians, cpu_medians, rtt, delay_ms):
    """The FTPS section: plain FTP and FTPS on one pure-ftpd, on loopback and over the slow link; returns verdicts."""
    verdicts = []
    where_link = "%g ms round trip" % (rtt * 1000)
    # Section, where, data set, label, the peers, the target against the best FTPS peer (None: no target).
    rows = [("ftps", "loopback", key, label, size, peers, None)
            for key, (label, size, peers) in FTPS_LOOPBACK_SETS.items()]
    rows += [("ftps-link", where_link, key, label, None, LINK_PEERS, target)
             for key, (label, _, target) in LINK_SETS.items()]
    w("")
    w("## FTPS against plain FTP")
    w("")
    w("All on one pure-ftpd on 127.0.0.1 that offers TLS without requiring it, so plain FTP and FTPS")
    w("meet the same server and configuration; its certificate comes from an authority made for the")
    w("run, which every client checks:")
    w(", ".join("%s `%s`" % option for option in FTPS_OPTIONS.items()) + ".")
    w("FTPS is explicit TLS on the control connection and on every data connection. On loopback")
    w("every tool runs both ways; the data sets are smaller than above where FTPS would take")
    w("minutes. The slow link is the same proxy as above in front of pure-ftpd (%s ms each way;" % delay_ms)
    w("TLS passes it unchanged, only delayed; data connections go straight to the server), with")
    w("the engine both ways and the peers over FTPS. pure-ftpd offers no HASH: the engine checks")
    w("each stored file by its size, as against vsftpd.")
    w("")
    w("| where | data set | tool | runs | plain median s | FTPS median s | FTPS min s | FTPS / plain "
      "| ratio to best FTPS peer | CPU s per GiB, plain / FTPS |")
    w("|---|---|---|---|---|---|---|---|---|---|")
    for section, where, key, label, size, peers, target in rows:
        m = medians(section, key)
        c = cpu_medians(section, key)
        best = min((m[p + FTPS] for p in peers if p + FTPS in m), default=None)
        for tool in ORDER:
            plain, tls = m.get(tool), m.get(tool + FTPS)
            if plain is None and tls is None:
                continue
            count = "/".join(str(len(runs.get((section, key, t), []))) for t in [tool, tool + FTPS]
                             if (section, key, t) in runs)
            cpu = " / ".join("%.2f" % (c[t] * GIB / size) if t in c and size else "-" for t in [tool, tool + FTPS])
            w("| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |" % (
                where, label, NAMES[tool], count, "%.3f" % plain if plain else "-", "%.3f" % tls if tls else "-",
                "%.3f" % min(runs[(section, key, tool + FTPS)]) if tls else "-",
                "%.2f" % (tls / plain) if plain and tls else "-", "%.2f" % (best / tls) if best and tls else "-",
                cpu))
        plain, tls = m.get("engine"), m.get("engine" + FTPS)
        want = "engine over FTPS ≤ %.2f× its plain FTP time on pure-ftpd, %s" % (FTPS_OVER_PLAIN_TARGET, where)
        if tls and plain:
            verdicts.append((label + FTPS, want, "%.2f×" % (tls / plain), tls / plain <= FTPS_OVER_PLAIN_TARGET))
        else:
            verdicts.append((label + FTPS, want, "no result", False))
        if target:
            want = "engine over FTPS ≥ %.2f× the fastest of %s over FTPS, pure-ftpd, %s" % (
                target, ", ".join(NAMES[p] for p in peers), where)
            got = best / tls if best and tls else None
            verdicts.append((label + FTPS, want, "%.2f×" % got if got else "no result", bool(got) and got >= target))
    w("")
    w("Runs: plain/FTPS. FTPS / plain: the tool's median over FTPS over its median in plain FTP on")
    w("the same server (the target for the engine: ≤ %.2f). Ratio: the best FTPS peer's median over" %
      FTPS_OVER_PLAIN_TARGET)
    w("the tool's FTPS median. Over FTPS every file costs a TLS handshake on its data connection")
    w("besides the encryption, for every tool alike. CPU: user + system seconds of the tool's")
    w("processes per GiB sent (on loopback only; the server's are not counted).")
    return verdicts


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for option in ["times", "out", "reps", "slow-reps", "memory-queue", "memory-upload", "load-before",
                   "load-after", "took", "failures", "local-sha-seconds", "sha-cpu-per-gib", "link-delay-ms", "proftpd",
                   "pure-ftpd", "profile-plain", "profile-tls", "profile-runs", "profile-hz"]:
        parser.add_argument("--" + option, required=True)
    args = parser.parse_args()

    runs = {}
    cpus = {}
    for line in open(args.times):
        section, tool, data, seconds, cpu_seconds = line.rstrip("\n").split("\t")
        runs.setdefault((section, data, tool), []).append(float(seconds))
        cpus.setdefault((section, data, tool), []).append(float(cpu_seconds))

    def medians(section, data, of=runs):
        return {t: statistics.median(v) for (s, d, t), v in of.items() if s == section and d == data}

    def cpu_medians(section, data):
        return medians(section, data, cpus)

    sha_cpu = float(args.sha_cpu_per_gib)

    rtt = 2 * float(args.link_delay_ms) / 1000

    lines = []
    w = lines.append
    w("# Upload comparison: the transfer engine against curl, lftp and rclone")
    w("")
    w("Written by `bench/upload_compare.sh` (through `scripts/bench`); re-run it to refresh. Every")
    w("tool sends to the same vsftpd on 127.0.0.1 (to proftpd and pure-ftpd where a section says so)")
    w("with the upload root on tmpfs; the runs are interleaved in rotating order and the upload root")
    w("is emptied before each. Seconds are wall time of the whole process (start, login, transfer,")
    w("logout), checked afterwards: every file with its size. The machine is shared with other work,")
    w("so only ratios within this run mean something.")
    w("")
    w("- date: %s" % time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()))
    w("- machine: %d cores (`nproc`), %s, %s memory, Linux %s" % (os.cpu_count(), cpu(), mem(), platform.release()))
    w("- load average before / after: %s / %s; the whole run took %s s" % (args.load_before, args.load_after,
                                                                          args.took))
    w("- tools: %s; lftp %s; rclone %s; vsftpd %s; proftpd %s; pure-ftpd %s" % (
        " ".join(first_line(["curl", "--version"]).split()[:2]),
        first_line(["lftp", "--version"]).split("Version")[-1].split("|")[0].strip(),
        first_line(["rclone", "version"]).split()[-1], package_version("vsftpd"),
        first_line([args.proftpd, "--version"]).split()[-1],
        first_line([args.pure_ftpd, "--help"]).split(" v", 1)[-1].split()[0]))
    w("- repetitions: %s (%s for one curl per file)" % (args.reps, args.slow_reps))
    w("")
    w("## Loopback")
    w("")
    w("| data set | tool | runs | median s | min s | median rate | ratio to best peer | CPU s per GiB |")
    w("|---|---|---|---|---|---|---|---|")
    verdicts = []
    cpu_verdicts = []
    for key, (label, files, size, unit, peers, target) in LOOPBACK_SETS.items():
        m = medians("loopback", key)
        c = {t: v * GIB / size for t, v in cpu_medians("loopback", key).items()}
        best = min((m[p] for p in peers if p in m), default=None)
        for tool in ORDER:
            if tool not in m:
                continue
            v = runs[("loopback", key, tool)]
            rate = (size / m[tool] / 1e6) if unit == "MB/s" else (files / m[tool])
            ratio = "%.2f" % (best / m[tool]) if best else "-"
            w("| %s | %s | %d | %.3f | %.3f | %.0f %s | %s | %.2f |" % (label, NAMES[tool], len(v), m[tool], min(v),
                                                                     rate, unit, ratio, c[tool]))
        want = "engine ≥ %.2f× the fastest of %s" % (target, ", ".join(NAMES[p] for p in peers))
        if best and "engine" in m:
            got = best / m["engine"]
            verdicts.append((label, want, "%.2f×" % got, got >= target))
        else:
            verdicts.append((label, want, "no result", False))
        frugal = min((c[p] for p in peers if p in c), default=None)
        want = "engine's CPU per GiB ≤ the most frugal peer's + SHA-256's (%.2f s)" % sha_cpu
        if frugal is not None and "engine" in c:
            cpu_verdicts.append((label, want, "%.2f s against %.2f + %.2f s" % (c["engine"], frugal, sha_cpu),
                                 c["engine"] <= frugal + sha_cpu))
        else:
            cpu_verdicts.append((label, want, "no result", False))
    verdicts += cpu_verdicts
    w("")
    w("Ratio: the best peer's median seconds over the tool's (above 1 = faster than the best peer).")
    w("Per file the engine does a little more than its peers: after each STOR it asks the server")
    w("for the stored size (SIZE), which curl and lftp do not, and takes the file's SHA-256; the")
    w("SIZE travels with the next file's EPSV and STOR in one write. curl -Z starts the progress meter")
    w("on stderr (not shown); lftp mirror sets the file permissions it found (SITE CHMOD); rclone")
    w("lists the target folders first (its checkers).")
    w("CPU: user + system seconds of the tool's processes (all their threads) per GiB sent, median;")
    w("the server's are not counted. SHA-256 alone takes %.2f CPU s per GiB here" % sha_cpu)
    w("(`openssl speed -evp sha256`, 1 MiB blocks): the engine's floor is the most frugal peer's")
    w("CPU plus that.")

    w("")
    w("## The cost of the hash check")
    w("")
    w("The engine always takes the SHA-256 of what it reads while sending; there is no way to switch")
    w("that off, and vsftpd offers no HASH, so against vsftpd the two rows would be the same. These")
    w("rows send to proftpd with mod_digest, which answers HASH: with the check the engine asks the")
    w("server for each stored file's SHA-256 and compares (`upload_engine --no-server-hash` leaves")
    w("that out, checking by size alone). The runs alternate in the same loop.")
    w("")
    w("| data set | with server hash, median s | without, median s | ratio on / off |")
    w("|---|---|---|---|")
    for key in ["big", "medium"]:
        label = LOOPBACK_SETS[key][0]
        m = medians("hash", key)
        on, off = m.get("engine, server hash"), m.get("engine, no server hash")
        if on and off:
            w("| %s | %.3f | %.3f | %.2f |" % (label, on, off, on / off))
            verdicts.append((label + ", proftpd", "hash on / off ≤ %.2f" % HASH_TARGET, "%.2f" % (on / off),
                             on / off <= HASH_TARGET))
        else:
            verdicts.append((label + ", proftpd", "hash on / off ≤ %.2f" % HASH_TARGET, "no result", False))
    big_engine = medians("loopback", "big").get("engine")
    w("")
    w("Target: the check costs at most %d %% on loopback (ratio ≤ %.2f). With it, each file's" % (
        round(100 * (HASH_TARGET - 1)), HASH_TARGET))
    w("connection waits while the server reads the stored file back and hashes it.")
    w("The local SHA-256 alone: `openssl dgst -sha256` of the 1 GiB file took %s s" % args.local_sha_seconds)
    if big_engine:
        w("(%.0f %% of the engine's median for 1 GiB over vsftpd above, which includes the local hash)." % (
            100 * float(args.local_sha_seconds) / big_engine))

    w("")
    w("## Over a slow link (%g ms round trip)" % (rtt * 1000))
    w("")
    w("The control connection passes `bench/ftp_delay_proxy.py`, which holds every chunk back by")
    w("%s ms each way, in order; the data connections go straight to vsftpd (passive mode answers" %
      args.link_delay_ms)
    w("127.0.0.1). Round trips per file = median seconds × %d connections / files / round trip:" % LINK_CONNECTIONS)
    w("the waits on the control connection that each file costs one connection.")
    w("")
    w("| data set | tool | runs | median s | min s | ratio to best peer | round trips per file |")
    w("|---|---|---|---|---|---|---|")
    for key, (label, files, target) in LINK_SETS.items():
        m = medians("link", key)
        best = min((m[p] for p in LINK_PEERS if p in m), default=None)
        for tool in ORDER:
            if tool not in m:
                continue
            v = runs[("link", key, tool)]
            ratio = "%.2f" % (best / m[tool]) if best else "-"
            w("| %s | %s | %d | %.3f | %.3f | %s | %.1f |" % (label, NAMES[tool], len(v), m[tool], min(v), ratio,
                                                            m[tool] * LINK_CONNECTIONS / files / rtt))
        want = "engine ≥ %.2f× the fastest of %s (%g ms round trip)" % (
            target, ", ".join(NAMES[p] for p in LINK_PEERS), rtt * 1000)
        got = best / m["engine"] if best and "engine" in m else None
        verdicts.append((label, want, "%.2f×" % got if got else "no result", bool(got) and got >= target))
    m = medians("proxy", "link-small")
    direct, proxied = m.get("engine, direct"), m.get("engine, undelayed proxy")
    w("")
    if direct and proxied:
        w("The proxy's own cost, measured with no delay (engine, 200 x 16 KiB): %.3f s direct, %.3f s" %
          (direct, proxied))
        w("through the proxy, %+.3f s in all or %+.2f ms per file and connection; a round trip of the" %
          (proxied - direct, (proxied - direct) * 1000 * LINK_CONNECTIONS / 200))
        w("link is %g ms." % (rtt * 1000))
    else:
        w("The proxy's own cost could not be measured (see the script's output).")

    verdicts += ftps_tables(w, runs, medians, cpu_medians, rtt, args.link_delay_ms)
    profile_section(w, args)

    q, u = fields(args.memory_queue), fields(args.memory_upload)
    w("")
    w("## 100,000 queued files (empty files in 100 folders)")
    w("")
    w("| step | peak resident memory (VmHWM) | seconds |")
    w("|---|---|---|")
    if q:
        w("| process start | %.1f MiB | |" % (int(q["start_hwm_kib"]) / 1024))
        w("| queued (prepareRecursiveDir) | %.1f MiB | %s |" % (int(q["queue_hwm_kib"]) / 1024, q["queue_seconds"]))
    if u:
        w("| queued and uploaded over 3 connections | %.1f MiB | %s (%.0f files/s) |" % (
            int(u["upload_hwm_kib"]) / 1024, u["upload_seconds"], 100000 / float(u["upload_seconds"])))
    peak = max([int(q.get("queue_hwm_kib", 0))] + ([int(u["upload_hwm_kib"])] if u else [])) / 1024 if q else None
    verdicts.append(("100,000 files", "peak memory < 64 MiB (queue%s)" % (" and upload" if u else ""),
                     "%.1f MiB" % peak if peak else "no result", bool(peak) and peak < 64))
    w("")
    w("## Targets")
    w("")
    w("| data set | target | measured | holds |")
    w("|---|---|---|---|")
    for label, target, got, ok in verdicts:
        w("| %s | %s | %s | %s |" % (label, target, got, "yes" if ok else "**no**"))
    w("")
    w("What binds where a loopback row misses: every byte the engine sends is also hashed")
    w("(SHA-256 on a worker thread, from the very block that is sent), while the peers only send.")
    big = medians("loopback", "big")
    best_big = min((big[p] for p in LOOPBACK_SETS["big"][4] if p in big), default=None)
    w("SHA-256 alone takes %.2f CPU s per GiB here (the best peer sends the 1 GiB file in %s s)," % (
        sha_cpu, "%.2f" % best_big if best_big else "?"))
    w("and a file's hash cannot be split between threads: one large file is bound by it.")
    w("On a machine of two cores, vsftpd, the sending loop and the hashing worker share")
    w("them besides: with the three busy at once, each gets two thirds of a core, and the worker")
    w("needs about %.2f s of wall time for the SHA-256 of 1 GiB; every CPU second the hash adds" % (sha_cpu * 1.5))
    w("is paid in wall time (see the CPU column and \"Where the engine's CPU goes\" above).")
    w("On the slow link the round trips bind instead: the engine waits for the data port (229)")
    w("and for the end of each transfer (226) before the next file's commands go out; its SIZE")
    w("and HASH ride along with them.")
    w("Over FTPS the client and the server both encrypt every byte, on the same two cores, and")
    w("pure-ftpd takes each TLS record (16 KiB at most) with a poll, two reads and a write: the")
    w("FTPS / plain rows above show what TLS costs each tool, the peers included, and that cost")
    w("binds the engine's FTPS / plain targets wherever bytes, not round trips, dominate.")
    w("The 100,000-file row: the engine keeps a record of 40 bytes per queued file (its phase, its")
    w("attempts, what the server holds), 3.9 MiB for 100,000 files, as long as the file is queued;")
    w("what the upload adds is mostly the SHA-256 kept in each file's statistics, about 8 MiB.")
    if int(args.failures):
        w("")
        w("**%s run(s) failed or left incomplete files; see the script's output.**" % args.failures)
    with open(args.out, "w") as out:
        out.write("\n".join(lines) + "\n")
    print("\n".join(lines))


if __name__ == "__main__":
    main()
