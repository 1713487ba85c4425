#!/usr/bin/env bash
# Upload comparison: the transfer engine against curl and lftp, all sending to
# one vsftpd on 127.0.0.1 whose upload root is on tmpfs. Runs as root (it
# creates a throwaway login user), takes under ten minutes, and writes
# bench/upload-results.md.
#
#   bench/upload_compare.sh [REPETITIONS]      default 5 (3 for one curl per file)
#
# The machine is shared: every tool runs in the same loop, interleaved and in
# rotating order, and only the ratios between them mean something.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
reps=${1:-5}
slow_reps=$(( reps < 3 ? reps : 3 ))
build=$repo/build/bench
results=$repo/bench/upload-results.md

[ "$(id -u)" -eq 0 ] || { echo "upload_compare: run as root (it creates a throwaway FTP user)" >&2; exit 1; }

scripts/setup-deps

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DQZWS_BUILD_TESTS=OFF -DQZWS_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target upload_engine >/dev/null
engine=$build/bench/upload/upload_engine

user=qzb$$
password=$(openssl rand -hex 12)
work=""
vsftpd_pid=""
user_made=no

descendants() {
  local child
  for child in $(cat /proc/"$1"/task/*/children 2>/dev/null); do
    echo "$child"
    descendants "$child"
  done
}

cleanup() {
  set +e
  if [ -n "$vsftpd_pid" ]; then
    # Sessions still open are the listener's children and would outlive it.
    local sessions
    sessions=$(descendants "$vsftpd_pid")
    kill "$vsftpd_pid" $sessions 2>/dev/null
    wait "$vsftpd_pid" 2>/dev/null
  fi
  [ "$user_made" = yes ] && userdel "$user" 2>/dev/null
  [ -n "$work" ] && rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Sources and upload root both on tmpfs: the disk is not what is measured.
if [ -d /dev/shm ] && [ "$(df --output=avail -k /dev/shm | tail -1)" -gt $((4 * 1024 * 1024)) ]; then
  work=$(mktemp -d /dev/shm/qz-upbench.XXXXXX)
else
  work=$(mktemp -d /tmp/qz-upbench.XXXXXX)
fi
chmod 711 "$work"
src=$work/src
root=$work/root
empty=$work/empty
mkdir -p "$src" "$root" "$empty"

useradd -M -d "$root" -s /bin/bash "$user"
user_made=yes
echo "$user:$password" | chpasswd -c SHA512 -s 1000
chown "$user:" "$root"

echo "upload_compare: making the data sets in $src"
/usr/bin/python3 - "$src" <<'EOF'
import os, sys
src = sys.argv[1]
def tree(name, folders, files, size):
    block = os.urandom(size)
    for d in range(folders):
        base = os.path.join(src, name, "d%03d" % d) if folders > 1 else os.path.join(src, name)
        os.makedirs(base, exist_ok=True)
        for f in range(files // folders):
            with open(os.path.join(base, "f%05d" % f), "wb") as out:
                out.write(block)
os.makedirs(os.path.join(src, "big"))
with open(os.path.join(src, "big", "one.bin"), "wb") as out:
    chunk = os.urandom(1 << 20)
    for _ in range(1024):
        out.write(chunk)
tree("small", 20, 2000, 16 * 1024)
tree("medium", 1, 200, 1 << 20)
tree("many", 100, 100000, 0)
EOF

port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
# A passive block below the kernel's ephemeral range, away from any listener.
while :; do
  pasv_lo=$(( 20000 + (RANDOM % 100) * 100 ))
  ss -Hltn "sport >= :$pasv_lo and sport <= :$((pasv_lo + 999))" | grep -q . || break
done
cat > "$work/vsftpd.conf" <<EOF
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port=$port
background=NO
local_enable=YES
write_enable=YES
local_umask=022
anonymous_enable=NO
chroot_local_user=YES
allow_writeable_chroot=YES
local_root=$root
pasv_enable=YES
pasv_min_port=$pasv_lo
pasv_max_port=$((pasv_lo + 999))
pasv_address=127.0.0.1
seccomp_sandbox=NO
isolate=NO
isolate_network=NO
pam_service_name=vsftpd
secure_chroot_dir=$empty
xferlog_enable=NO
max_clients=0
max_per_ip=0
EOF
vsftpd "$work/vsftpd.conf" > "$work/vsftpd.out" 2>&1 &
vsftpd_pid=$!
for _ in $(seq 100); do
  curl -s --max-time 2 --user "$user:$password" "ftp://127.0.0.1:$port/" -o /dev/null && break
  kill -0 "$vsftpd_pid" 2>/dev/null || { cat "$work/vsftpd.out" >&2; exit 1; }
  sleep 0.1
done
curl -sS --max-time 2 --user "$user:$password" "ftp://127.0.0.1:$port/" -o /dev/null
echo "upload_compare: vsftpd on 127.0.0.1:$port, passive ports $pasv_lo-$((pasv_lo + 999))"

ftp=ftp://127.0.0.1:$port
times=$work/times.tsv
: > "$times"
failures=0

empty_root() { find "$root" -mindepth 1 -delete; }

# "relative-path size" of every file below a folder, sorted.
listing() { (cd "$1" && find . -type f -printf '%P %s\n' | LC_ALL=C sort); }

# A curl config that sends every file of a data set in one process.
curl_config() {
  local set=$1 out=$work/curl-$1.conf
  (cd "$src/$set" && find . -type f -printf '%P\n' | LC_ALL=C sort) | while read -r f; do
    printf 'upload-file = "%s"\nurl = "%s/%s"\n' "$src/$set/$f" "$ftp" "$f"
  done > "$out"
  echo "$out"
}

lftp_run() {
  lftp -u "$user,$password" -p "$port" \
    -e "set cmd:fail-exit yes; set ftp:ssl-allow no; set net:max-retries 2; $1; quit" 127.0.0.1
}

run_tool() {
  local tool=$1 set=$2
  case "$tool" in
    engine) "$engine" upload --host 127.0.0.1 --port "$port" --user "$user" --password "$password" \
              --connections "$([ "$set" = big ] && echo 1 || echo 3)" "$src/$set" >/dev/null ;;
    "curl -T") curl -sS --user "$user:$password" -T "$src/big/one.bin" "$ftp/one.bin" ;;
    "lftp put") lftp_run "put $src/big/one.bin -o one.bin" ;;
    "curl -Z") curl -sS -Z --parallel-max 3 --ftp-create-dirs --user "$user:$password" \
                 -K "$work/curl-$set.conf" ;;
    "lftp mirror") lftp_run "mirror -R --parallel=3 $src/$set ." ;;
    "curl per file")
      (cd "$src/$set" && find . -type f -printf '%P\n') | while read -r f; do
        curl -sS --ftp-create-dirs --user "$user:$password" -T "$src/$set/$f" "$ftp/$f" || exit 1
      done ;;
  esac
}

# Runs one tool on one data set, records the seconds, checks what arrived.
measure() {
  local tool=$1 set=$2 begin end status=0
  empty_root
  begin=$(date +%s.%N)
  run_tool "$tool" "$set" > "$work/run.out" 2>&1 || status=$?
  end=$(date +%s.%N)
  if [ "$status" -ne 0 ]; then
    echo "  $tool on $set FAILED (exit $status): $(head -c 300 "$work/run.out")" >&2
    failures=$((failures + 1))
    return
  fi
  if ! cmp -s <(listing "$src/$set") <(listing "$root"); then
    echo "  $tool on $set: the upload root does not hold the files with their sizes" >&2
    failures=$((failures + 1))
    return
  fi
  local seconds
  seconds=$(awk "BEGIN { printf \"%.3f\", $end - $begin }")
  printf '%s\t%s\t%s\n' "$tool" "$set" "$seconds" >> "$times"
  printf '  %-14s %-7s %8.3f s\n' "$tool" "$set" "$seconds"
}

# Every repetition runs every tool once, starting one further each time.
interleave() {
  local set=$1 count=$2; shift 2
  local tools=("$@") n=$# rep i
  for rep in $(seq "$count"); do
    for i in $(seq 0 $((n - 1))); do
      measure "${tools[$(((i + rep) % n))]}" "$set"
    done
  done
}

curl_config small >/dev/null
curl_config medium >/dev/null
started=$(date +%s)
load_before=$(cut -d' ' -f1-3 /proc/loadavg)

echo "== 1 x 1 GiB ($reps repetitions)"
interleave big "$reps" engine "curl -T" "lftp put"
echo "== 2000 x 16 KiB in 20 folders ($reps repetitions)"
interleave small "$reps" engine "curl -Z" "lftp mirror"
echo "== 2000 x 16 KiB, one curl per file ($slow_reps repetitions)"
interleave small "$slow_reps" "curl per file"
echo "== 200 x 1 MiB ($reps repetitions)"
interleave medium "$reps" engine "curl -Z" "lftp mirror"

echo "== 100,000 files queued"
memory_queue=$("$engine" queue-memory "$src/many")
echo "  $memory_queue"
empty_root
memory_upload=""
if memory_upload=$("$engine" queue-memory --upload --host 127.0.0.1 --port "$port" --user "$user" \
                     --password "$password" --connections 3 "$src/many" 2>&1); then
  if cmp -s <(listing "$src/many") <(listing "$root"); then
    echo "  $memory_upload" | tr '\n' ' '; echo
  else
    echo "  queue + upload of 100,000 files: the upload root does not hold them all" >&2
    failures=$((failures + 1))
    memory_upload=""
  fi
else
  echo "  queue + upload of 100,000 files FAILED: $memory_upload" >&2
  failures=$((failures + 1))
  memory_upload=""
fi
empty_root
load_after=$(cut -d' ' -f1-3 /proc/loadavg)
took=$(( $(date +%s) - started ))

/usr/bin/python3 - "$times" "$results" "$reps" "$slow_reps" "$memory_queue" "$memory_upload" \
  "$load_before" "$load_after" "$took" "$failures" <<'EOF'
import os, platform, statistics, subprocess, sys, time
times, out, reps, slow_reps, mq, mu, load_before, load_after, took, failures = sys.argv[1:]

def fields(text):
    return dict(kv.split("=", 1) for kv in text.split()) if text else {}

runs = {}
for line in open(times):
    tool, data, seconds = line.rstrip("\n").split("\t")
    runs.setdefault((data, tool), []).append(float(seconds))

sets = {
    "big": ("1 x 1 GiB", 1, 1 << 30, "MB/s", ["curl -T", "lftp put"], 0.95),
    "small": ("2000 x 16 KiB, 20 folders", 2000, 2000 * 16 * 1024, "files/s", ["curl -Z", "lftp mirror"], 1.1),
    "medium": ("200 x 1 MiB", 200, 200 << 20, "MB/s", ["curl -Z", "lftp mirror"], 1.0),
}
order = ["engine", "curl -T", "lftp put", "curl -Z", "lftp mirror", "curl per file"]
names = {
    "engine": "engine (upload_engine)",
    "curl -T": "curl -T",
    "lftp put": "lftp put",
    "curl -Z": "curl -Z --parallel-max 3",
    "lftp mirror": "lftp mirror -R --parallel=3",
    "curl per file": "curl, one process per file",
}

def cpu():
    for line in open("/proc/cpuinfo"):
        if line.startswith("model name"):
            return line.split(":", 1)[1].strip()
    return platform.processor()

def mem():
    for line in open("/proc/meminfo"):
        if line.startswith("MemTotal"):
            return "%.1f GiB" % (int(line.split()[1]) / 1024 / 1024)

def version(cmd):
    try:
        return subprocess.run(cmd, capture_output=True, text=True).stdout.splitlines()[0].strip()
    except Exception:
        return "?"

lines = []
w = lines.append
w("# Upload comparison: the transfer engine against curl and lftp")
w("")
w("Written by `bench/upload_compare.sh`; re-run it to refresh. Every tool sends to the same")
w("vsftpd on 127.0.0.1 with the upload root on tmpfs; the runs are interleaved in rotating")
w("order and the upload root is emptied before each. Seconds are wall time of the whole")
w("process (start, login, transfer, logout), checked afterwards: every file with its size.")
w("The machine is shared with other work, so only ratios within this run mean something.")
w("")
w("- date: %s" % time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()))
w("- machine: %d cores (`nproc`), %s, %s memory, Linux %s" % (os.cpu_count(), cpu(), mem(), platform.release()))
w("- load average before / after: %s / %s; the whole run took %s s" % (load_before, load_after, took))
w("- tools: %s; lftp %s; vsftpd %s" % (" ".join(version(["curl", "--version"]).split()[:2]),
    version(["lftp", "--version"]).split("Version")[-1].split("|")[0].strip(),
    subprocess.run(["dpkg-query", "-W", "-f=${Version}", "vsftpd"], capture_output=True, text=True).stdout))
w("- repetitions: %s (%s for one curl per file)" % (reps, slow_reps))
w("")
w("| data set | tool | runs | median s | min s | median rate | ratio to best peer |")
w("|---|---|---|---|---|---|---|")
verdicts = []
for key, (label, files, size, unit, peers, target) in sets.items():
    medians = {t: statistics.median(v) for (d, t), v in runs.items() if d == key}
    best = min((medians[p] for p in peers if p in medians), default=None)
    for tool in order:
        if tool not in medians:
            continue
        v = runs[(key, tool)]
        m = medians[tool]
        rate = (size / m / 1e6) if unit == "MB/s" else (files / m)
        ratio = "%.2f" % (best / m) if best else "-"
        w("| %s | %s | %d | %.3f | %.3f | %.0f %s | %s |" % (label, names[tool], len(v), m, min(v), rate, unit, ratio))
    if best and "engine" in medians:
        got = best / medians["engine"]
        verdicts.append((label, "engine ≥ %.2f× the faster of %s" % (target, " and ".join(names[p] for p in peers)),
                         "%.2f×" % got, got >= target))
    else:
        verdicts.append((label, "engine ≥ %.2f× the faster peer" % target, "no result", False))

q, u = fields(mq), fields(mu)
w("")
w("Ratio: the best peer's median seconds over the tool's (above 1 = faster than the best peer).")
w("Per file the engine does a little more than its peers: after each STOR it asks the server")
w("for the stored size (SIZE), which curl and lftp do not. curl -Z starts the progress meter")
w("on stderr (not shown); lftp mirror sets the file permissions it found (SITE CHMOD).")
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
if int(failures):
    w("")
    w("**%s run(s) failed or left incomplete files; see the script's output.**" % failures)
open(out, "w").write("\n".join(lines) + "\n")
print("\n".join(lines))
EOF
echo "upload_compare: wrote $results"
[ "$failures" -eq 0 ]
