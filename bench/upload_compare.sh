#!/usr/bin/env bash
# Upload comparison: the transfer engine against curl, lftp and rclone, all
# sending to one vsftpd on 127.0.0.1 whose upload root is on tmpfs; the cost
# of the server's hash check against proftpd, which answers HASH; and the same
# peers over a slow link (bench/ftp_delay_proxy.py holds the control
# connection back by 10 ms each way); and FTPS against plain FTP on one
# pure-ftpd that offers both, on loopback and over the slow link. Runs as root
# (it creates a throwaway login user), takes about a quarter of an hour, and
# writes bench/upload-results.md.
#
#   bench/upload_compare.sh [REPETITIONS] [SECTION]
#     REPETITIONS: default 3 (1 for one curl per file)
#     SECTION: loopback, hash, link, ftps or profile runs that part alone and
#     prints its times without writing the report (a quick look while working)
#
# The profile section samples the engine with perf (where it is installed)
# sending 1 GiB over plain FTP and 256 MiB over FTPS, for the report's
# account of where its CPU goes.
#
# The machine is shared: every tool runs in the same loop, interleaved and in
# rotating order, and only the ratios between them mean something.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
reps=${1:-3}
only=${2:-all}
case "$only" in all|loopback|hash|link|ftps|profile) ;; *) echo "upload_compare: no section $only" >&2; exit 2 ;; esac
wanted() { [ "$only" = all ] || [ "$only" = "$1" ]; }
# One process per file takes half a minute on an idle machine and several
# under load: one run shows its order of magnitude.
slow_reps=1
# Each way on the slow link, in milliseconds.
link_delay_ms=10
# perf's samples per second of CPU time.
profile_hz=1999
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
proftpd_pid=""
pure_ftpd_pid=""
proxy_pids=()
user_made=no

descendants() {
  local child
  for child in $(cat /proc/"$1"/task/*/children 2>/dev/null); do
    echo "$child"
    descendants "$child"
  done
}

# Waits until the server on PORT takes a login; a server (PID) that died
# shows its OUTPUT instead.
wait_for_login() {
  local port=$1 pid=$2 output=$3
  for _ in $(seq 100); do
    curl -s --max-time 2 --user "$user:$password" "ftp://127.0.0.1:$port/" -o /dev/null && return 0
    kill -0 "$pid" 2>/dev/null || { cat "$output" >&2; exit 1; }
    sleep 0.1
  done
  curl -sS --max-time 2 --user "$user:$password" "ftp://127.0.0.1:$port/" -o /dev/null
}

cleanup() {
  set +e
  local listener sessions
  for listener in $vsftpd_pid $pure_ftpd_pid; do
    # Sessions still open are the listener's children and would outlive it.
    sessions=$(descendants "$listener")
    kill "$listener" $sessions 2>/dev/null
    wait "$listener" 2>/dev/null
  done
  # proftpd ends the sessions it forked itself.
  for pid in $proftpd_pid "${proxy_pids[@]}"; do
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
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
hash_root=$work/hash-root
mkdir -p "$src" "$root" "$empty" "$hash_root"

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
def one(name, mib):
    os.makedirs(os.path.join(src, name))
    with open(os.path.join(src, name, "one.bin"), "wb") as out:
        chunk = os.urandom(1 << 20)
        for _ in range(mib):
            out.write(chunk)
one("big", 1024)
tree("small", 20, 2000, 16 * 1024)
tree("medium", 1, 200, 1 << 20)
tree("many", 100, 100000, 0)
tree("link-small", 1, 200, 16 * 1024)
tree("link-medium", 1, 20, 5 << 20)
# FTPS costs every tool several times the plain time on these two: smaller
# sets keep that section within minutes.
one("ftps-big", 256)
tree("ftps-small", 5, 500, 16 * 1024)
EOF

free_port() {
  /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# Passive port blocks handed out so far, "FIRST LAST" each.
passive_blocks=()

# A passive block of COUNT ports below the kernel's ephemeral range, away
# from any listener and from the blocks handed out; the caller adds it to
# passive_blocks.
free_passive_block() {
  local count=$1 lo block clash
  while :; do
    lo=$(( 20000 + (RANDOM % 100) * 100 ))
    clash=no
    for block in "${passive_blocks[@]}"; do
      set -- $block
      if [ "$lo" -le "$2" ] && [ $((lo + count - 1)) -ge "$1" ]; then clash=yes; fi
    done
    [ "$clash" = yes ] && continue
    ss -Hltn "sport >= :$lo and sport <= :$((lo + count - 1))" | grep -q . || break
  done
  echo "$lo"
}

port=$(free_port)
pasv_lo=$(free_passive_block 1000)
passive_blocks+=("$pasv_lo $((pasv_lo + 999))")
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
wait_for_login "$port" "$vsftpd_pid" "$work/vsftpd.out"
echo "upload_compare: vsftpd on 127.0.0.1:$port, passive ports $pasv_lo-$((pasv_lo + 999))"

# proftpd (unpacked by scripts/setup-deps) with mod_digest: the server that
# answers HASH, for the cost of the hash check. It serves hash_root to the
# same login name from its own password file.
proftpd_prefix=/opt/qzws-test/proftpd
[ -x "$proftpd_prefix/usr/sbin/proftpd" ] || proftpd_prefix=""
hash_port=$(free_port)
hash_pasv_lo=$(free_passive_block 100)
passive_blocks+=("$hash_pasv_lo $((hash_pasv_lo + 99))")
mkdir -m 700 "$work/proftpd"
printf '%s:%s:0:0::%s:/bin/sh\n' "$user" "$(openssl passwd -5 -stdin <<<"$password")" "$hash_root" \
  > "$work/proftpd/passwd"
printf 'root:x:0:\n' > "$work/proftpd/group"
chmod 600 "$work/proftpd/passwd" "$work/proftpd/group"
cat > "$work/proftpd/proftpd.conf" <<EOF
ServerType standalone
DefaultServer on
DefaultAddress 127.0.0.1
SocketBindTight on
UseIPv6 off
Port $hash_port
PassivePorts $hash_pasv_lo $((hash_pasv_lo + 99))
User root
Group root
PidFile $work/proftpd/proftpd.pid
ScoreboardFile $work/proftpd/scoreboard
SystemLog $work/proftpd/system.log
DelayTable none
WtmpLog off
TransferLog none
UseReverseDNS off
AuthOrder mod_auth_file.c
AuthUserFile $work/proftpd/passwd
AuthGroupFile $work/proftpd/group
RequireValidShell off
RootLogin on
AllowOverwrite on
MaxInstances 32
ModulePath $proftpd_prefix/usr/lib/proftpd
LoadModule mod_digest.c
DigestEngine on
EOF
"$proftpd_prefix/usr/sbin/proftpd" --nodaemon --config "$work/proftpd/proftpd.conf" \
  > "$work/proftpd/output.log" 2>&1 &
proftpd_pid=$!
wait_for_login "$hash_port" "$proftpd_pid" "$work/proftpd/output.log"
echo "upload_compare: proftpd on 127.0.0.1:$hash_port"

# The slow link, and the same proxy without delay for its own cost. Started
# from this shell, not a subshell, so that cleanup knows them; NAME.port
# holds the port each listens on.
start_proxy() {
  local name=$1 server_port=$2 delay=$3 file=$work/proxy-$1.port
  /usr/bin/python3 bench/ftp_delay_proxy.py --server-port "$server_port" --delay-ms "$delay" --port-file "$file" \
    > /dev/null 2> "$work/proxy-$name.err" &
  proxy_pids+=($!)
  for _ in $(seq 100); do
    [ -s "$file" ] && return
    kill -0 "${proxy_pids[-1]}" 2>/dev/null || break
    sleep 0.1
  done
  cat "$work/proxy-$name.err" >&2
  exit 1
}
start_proxy link "$port" "$link_delay_ms"
start_proxy undelayed "$port" 0
link_port=$(cat "$work/proxy-link.port")
proxy0_port=$(cat "$work/proxy-undelayed.port")
echo "upload_compare: slow link on 127.0.0.1:$link_port ($link_delay_ms ms each way), undelayed proxy on :$proxy0_port"

# pure-ftpd (unpacked by scripts/setup-deps) for FTPS. It offers TLS without
# requiring it, so plain FTP and FTPS reach one server with one configuration
# and only TLS differs between their rows. It logs in the same user as
# vsftpd, locked into its home, the upload root. Its certificate for
# 127.0.0.1 comes from an authority made for this run, which every client
# checks it against (rclone through SSL_CERT_FILE).
pure_ftpd=/opt/qzws-test/pure-ftpd/usr/sbin/pure-ftpd
ca=$work/tls/ca.pem
if wanted ftps || wanted profile; then
  [ -x "$pure_ftpd" ] || { echo "upload_compare: $pure_ftpd is missing (scripts/setup-deps unpacks it)" >&2; exit 1; }
  mkdir -m 700 "$work/tls"
  (
    cd "$work/tls"
    curve=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes)
    openssl req -x509 "${curve[@]}" -keyout ca.key -out ca.pem -days 2 -subj /CN=upload-bench-ca 2>/dev/null
    openssl req "${curve[@]}" -keyout server.key -out server.csr -subj /CN=127.0.0.1 2>/dev/null
    printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\n' > server.ext
    openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile server.ext \
      -out server.pem 2>/dev/null
  )
  ftps_port=$(free_port)
  ftps_pasv_lo=$(free_passive_block 1000)
  passive_blocks+=("$ftps_pasv_lo $((ftps_pasv_lo + 999))")
  # -Y 1: TLS offered, not required; -l unix: system logins; -A: every login
  # locked into its home; -P: passive replies name 127.0.0.1; -H: no reverse DNS.
  "$pure_ftpd" -S "127.0.0.1,$ftps_port" -p "$ftps_pasv_lo:$((ftps_pasv_lo + 999))" -P 127.0.0.1 -l unix -E -A -H \
    -c 50 -C 50 -Y 1 -2 "$work/tls/server.pem,$work/tls/server.key" > "$work/pure-ftpd.out" 2>&1 &
  pure_ftpd_pid=$!
  wait_for_login "$ftps_port" "$pure_ftpd_pid" "$work/pure-ftpd.out"
  start_proxy ftps-link "$ftps_port" "$link_delay_ms"
  ftps_link_port=$(cat "$work/proxy-ftps-link.port")
  echo "upload_compare: pure-ftpd on 127.0.0.1:$ftps_port, passive ports $ftps_pasv_lo-$((ftps_pasv_lo + 999))," \
    "slow link to it on :$ftps_link_port"
fi

# rclone's remotes, one per way to a server ("NAME PORT"), and NAME-tls for
# FTPS where the server offers it ("NAME PORT tls"); its password is kept
# obscured.
rclone_config=$work/rclone.conf
remotes=("direct $port" "link $link_port")
{ wanted ftps || wanted profile; } && remotes+=("pure $ftps_port tls" "pure-link $ftps_link_port tls")
(
  umask 077
  obscured=$(rclone obscure - <<<"$password")
  for remote in "${remotes[@]}"; do
    set -- $remote
    printf '[%s]\ntype = ftp\nhost = 127.0.0.1\nport = %s\nuser = %s\npass = %s\n\n' "$1" "$2" "$user" "$obscured"
    [ "${3:-}" = tls ] || continue
    printf '[%s-tls]\ntype = ftp\nhost = 127.0.0.1\nport = %s\nuser = %s\npass = %s\nexplicit_tls = true\n\n' \
      "$1" "$2" "$user" "$obscured"
  done > "$rclone_config"
)

times=$work/times.tsv
: > "$times"
failures=0

# Where measure sends to: the section of the report, the control port, the
# folder the server stores into, rclone's remote. A tool named "TOOL, FTPS"
# is TOOL over explicit TLS on control and data (run_tool sets tls).
section=loopback
at=$port
served=$root
remote=direct
tls=no

empty_root() { find "$served" -mindepth 1 -delete; }

# "relative-path size" of every file below a folder, sorted.
listing() { (cd "$1" && find . -type f -printf '%P %s\n' | LC_ALL=C sort); }

# A curl config that sends every file of a data set in one process to a port.
curl_config() {
  local set=$1 to=$2 out=$work/curl-$1-$2.conf
  (cd "$src/$set" && find . -type f -printf '%P\n' | LC_ALL=C sort) | while read -r f; do
    printf 'upload-file = "%s"\nurl = "ftp://127.0.0.1:%s/%s"\n' "$src/$set/$f" "$to" "$f"
  done > "$out"
  echo "$out"
}

lftp_run() {
  local secure="set ftp:ssl-allow no"
  if [ "$tls" = yes ]; then
    secure="set ftp:ssl-force true; set ftp:ssl-protect-data true; set ssl:ca-file $ca"
  fi
  lftp -u "$user,$password" -p "$at" \
    -e "set cmd:fail-exit yes; $secure; set net:max-retries 2; $1; quit" 127.0.0.1
}

# A data set of one file (one.bin) goes over one connection, as the peers send it.
engine_run() {
  local set=$1 secure=()
  shift
  if [ "$tls" = yes ]; then secure=(--tls --ca-file "$ca"); fi
  "$engine" upload --host 127.0.0.1 --port "$at" --user "$user" --password "$password" \
    --connections "$([ -e "$src/$set/one.bin" ] && echo 1 || echo 3)" "${secure[@]}" "$@" "$src/$set" \
    > "$work/engine.out"
}

run_tool() {
  local tool=$1 set=$2 tls=no curl_secure=() to=$remote
  case "$tool" in
    *", FTPS") tool=${tool%, FTPS} tls=yes curl_secure=(--ssl-reqd --cacert "$ca") to=$remote-tls ;;
  esac
  case "$tool" in
    engine) engine_run "$set" ;;
    "engine, direct") at=$port engine_run "$set" ;;
    "engine, undelayed proxy") at=$proxy0_port engine_run "$set" ;;
    "engine, server hash")
      engine_run "$set"
      # Both rows are only a comparison while the server really checks here.
      grep -q "hashed=[1-9]" "$work/engine.out" || { echo "the server checked no file by its hash"; return 1; } ;;
    "engine, no server hash") engine_run "$set" --no-server-hash ;;
    "engine, no pipelining") engine_run "$set" --no-pipelining ;;
    "curl -T") curl -sS "${curl_secure[@]}" --user "$user:$password" -T "$src/$set/one.bin" \
                 "ftp://127.0.0.1:$at/one.bin" ;;
    "lftp put") lftp_run "put $src/$set/one.bin -o one.bin" ;;
    "curl -Z") curl -sS "${curl_secure[@]}" -Z --parallel-max 3 --ftp-create-dirs --user "$user:$password" \
                 -K "$work/curl-$set-$at.conf" ;;
    "lftp mirror") lftp_run "mirror -R --parallel=3 $src/$set ." ;;
    rclone) SSL_CERT_FILE=$ca rclone --config "$rclone_config" copy --transfers 3 "$src/$set" "$to:" ;;
    "curl per file")
      (cd "$src/$set" && find . -type f -printf '%P\n') | while read -r f; do
        curl -sS --ftp-create-dirs --user "$user:$password" -T "$src/$set/$f" "ftp://127.0.0.1:$at/$f" || exit 1
      done ;;
  esac
}

# CPU seconds (user + system) of this shell's children that have ended: the
# processes a tool ran, waited for, with theirs.
ticks=$(getconf CLK_TCK)
children_cpu() { awk -v t="$ticks" '{ printf "%.3f", ($16 + $17) / t }' /proc/$$/stat; }

# Runs one tool on one data set, records the seconds and the CPU seconds,
# checks what arrived.
measure() {
  local tool=$1 set=$2 begin end cpu_before cpu_after status=0
  empty_root
  cpu_before=$(children_cpu)
  begin=$(date +%s.%N)
  run_tool "$tool" "$set" > "$work/run.out" 2>&1 || status=$?
  end=$(date +%s.%N)
  cpu_after=$(children_cpu)
  if [ "$status" -ne 0 ]; then
    echo "  $section: $tool on $set FAILED (exit $status): $(head -c 300 "$work/run.out")" >&2
    failures=$((failures + 1))
    return
  fi
  if ! cmp -s <(listing "$src/$set") <(listing "$served"); then
    echo "  $section: $tool on $set: the upload root does not hold the files with their sizes" >&2
    failures=$((failures + 1))
    return
  fi
  local seconds cpu
  seconds=$(awk "BEGIN { printf \"%.3f\", $end - $begin }")
  cpu=$(awk "BEGIN { printf \"%.3f\", $cpu_after - $cpu_before }")
  printf '%s\t%s\t%s\t%s\t%s\n' "$section" "$tool" "$set" "$seconds" "$cpu" >> "$times"
  printf '  %-22s %-11s %8.3f s %8.3f s CPU\n' "$tool" "$set" "$seconds" "$cpu"
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

curl_config small "$port" >/dev/null
curl_config medium "$port" >/dev/null
curl_config link-small "$link_port" >/dev/null
curl_config link-medium "$link_port" >/dev/null
if wanted ftps; then
  for set in ftps-small medium; do curl_config "$set" "$ftps_port" >/dev/null; done
  for set in link-small link-medium; do curl_config "$set" "$ftps_link_port" >/dev/null; done
fi
started=$(date +%s)
load_before=$(cut -d' ' -f1-3 /proc/loadavg)

if wanted loopback; then
  echo "== 1 x 1 GiB ($reps repetitions)"
  interleave big "$reps" engine "curl -T" "lftp put" rclone
  echo "== 2000 x 16 KiB in 20 folders ($reps repetitions)"
  interleave small "$reps" engine "curl -Z" "lftp mirror" rclone
  # Minutes long: only in the whole run.
  if [ "$only" = all ]; then
    echo "== 2000 x 16 KiB, one curl per file ($slow_reps repetitions)"
    interleave small "$slow_reps" "curl per file"
  fi
  echo "== 200 x 1 MiB ($reps repetitions)"
  interleave medium "$reps" engine "curl -Z" "lftp mirror" rclone
fi

# SHA-256 alone, from memory, in CPU seconds per GiB: what the engine's hash
# costs at least (openssl speed counts its own CPU time).
sha_rate=$(openssl speed -evp sha256 -bytes 1048576 -seconds 3 2>/dev/null | awk '$1 == "sha256" { print $2 }')
sha_cpu_per_gib=$(awk -v r="${sha_rate%k}" 'BEGIN { printf "%.3f", 1073741824 / (r * 1000) }')
echo "  SHA-256 alone (openssl speed -evp sha256, 1 MiB blocks): $sha_cpu_per_gib CPU s per GiB"

local_sha_seconds=""
if wanted hash; then
  section=hash at=$hash_port served=$hash_root
  echo "== the server's hash check, proftpd ($reps repetitions)"
  for set in big medium; do
    interleave "$set" "$reps" "engine, server hash" "engine, no server hash"
  done
  # What the SHA-256 taken while reading costs alone: hashing the 1 GiB file.
  begin=$(date +%s.%N)
  openssl dgst -sha256 "$src/big/one.bin" >/dev/null
  local_sha_seconds=$(awk "BEGIN { printf \"%.3f\", $(date +%s.%N) - $begin }")
  echo "  SHA-256 of 1 GiB (openssl dgst): $local_sha_seconds s"
fi

if wanted link; then
  section=link at=$link_port served=$root remote=link
  echo "== slow link, $((2 * link_delay_ms)) ms round trip ($reps repetitions)"
  for set in link-small link-medium; do
    interleave "$set" "$reps" engine "engine, no pipelining" "curl -Z" "lftp mirror" rclone
  done

  section=proxy
  echo "== the proxy's own cost: without delay against direct ($reps repetitions)"
  interleave link-small "$reps" "engine, undelayed proxy" "engine, direct"

fi
if wanted ftps; then
  # On loopback every tool plain and over FTPS, for what TLS costs each; on
  # the slow link the engine plain and all over FTPS.
  both() { local tool; for tool in "$@"; do printf '%s\n%s, FTPS\n' "$tool" "$tool"; done; }
  section=ftps at=$ftps_port served=$root remote=pure
  echo "== FTPS against plain FTP on pure-ftpd ($reps repetitions)"
  mapfile -t tools < <(both engine "curl -T" "lftp put" rclone)
  interleave ftps-big "$reps" "${tools[@]}"
  mapfile -t tools < <(both engine "curl -Z" "lftp mirror" rclone)
  for set in ftps-small medium; do
    interleave "$set" "$reps" "${tools[@]}"
  done
  section=ftps-link at=$ftps_link_port remote=pure-link
  echo "== FTPS over the slow link to pure-ftpd, $((2 * link_delay_ms)) ms round trip ($reps repetitions)"
  for set in link-small link-medium; do
    interleave "$set" "$reps" engine "engine, FTPS" "curl -Z, FTPS" "lftp mirror, FTPS" "rclone, FTPS"
  done
fi

# Samples of the engine's threads (the hashing worker is named qz-sha256),
# with their call chains, PROFILE_RUNS uploads of each way.
profile_runs=3
profile_plain=""
profile_tls=""
if wanted profile; then
  if command -v perf >/dev/null; then
    echo "== where the engine's CPU goes (perf, $profile_runs runs each way)"
    served=$root
    for way in plain tls; do
      secure=() set=big at=$port
      [ "$way" = tls ] && secure=(--tls --ca-file "$ca") set=ftps-big at=$ftps_port
      for run in $(seq "$profile_runs"); do
        empty_root
        perf record -q -F "$profile_hz" -g -o "$work/perf.data" -- "$engine" upload --host 127.0.0.1 --port "$at" \
          --user "$user" --password "$password" --connections 1 "${secure[@]}" "$src/$set" > "$work/engine.out" 2>&1 || {
          echo "  profile, $way: $(head -c 300 "$work/engine.out")" >&2; failures=$((failures + 1)); }
        perf script -i "$work/perf.data" -F comm,tid,ip,sym,dso 2>/dev/null >> "$work/profile-$way.txt"
      done
    done
    profile_plain=$work/profile-plain.txt profile_tls=$work/profile-tls.txt
    empty_root
  else
    echo "== no perf here: the report leaves out where the engine's CPU goes"
  fi
fi

[ "$only" = all ] || { echo "upload_compare: section $only done, no report written"; [ "$failures" -eq 0 ]; exit; }

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

/usr/bin/python3 bench/upload_report.py --times "$times" --out "$results" --reps "$reps" \
  --slow-reps "$slow_reps" --memory-queue "$memory_queue" --memory-upload "$memory_upload" \
  --load-before "$load_before" --load-after "$load_after" --took "$took" --failures "$failures" \
  --local-sha-seconds "$local_sha_seconds" --sha-cpu-per-gib "$sha_cpu_per_gib" --link-delay-ms "$link_delay_ms" \
  --proftpd "$proftpd_prefix/usr/sbin/proftpd" --pure-ftpd "$pure_ftpd" \
  --profile-plain "$profile_plain" --profile-tls "$profile_tls" --profile-runs "$profile_runs" --profile-hz "$profile_hz"
echo "upload_compare: wrote $results"
[ "$failures" -eq 0 ]
