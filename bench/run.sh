#!/usr/bin/env bash
# Benchmark of rs232-server: builds a Release tree, then measures in one run
#   - download and upload over the null-modem paced at 9600, 57600, 115200, 230400, 460800 and
#     921600 baud, against the raw line rate and the protocol's ceiling: 16 KiB each way at
#     9600, 64 KiB at 57600; at 115200 and above 1 MiB each way (the download with
#     BLOCKPAUSE=0) and a 64 KiB download with the default pause;
#   - download and upload at 115200 with the server's end of the cable behind ser2net on
#     loopback, reached through rfc2217:// and through tcp://, against the direct pty;
#   - at 115200 with a bit error rate of 1e-5 on the cable, 10 seeds: transfers completed (each
#     tried up to three times) and the throughput kept against the clean line;
#   - idle CPU over 60 s, resident memory and mapped Qt libraries, headless and with the window
#     (offscreen);
#   - memory after start and over a 1 MiB unpaced transfer each way, headless;
#   - a listing (DL) of a directory with 100 000 entries;
# prints the results and writes them to bench/results.md, keeping its sections of many lines
# and of TLS.
#
#   bench/run.sh [BUILD_DIR]          default BUILD_DIR: build-bench in the repository
#   bench/run.sh --lines [BUILD_DIR]  only the section of many lines at once (see lines_section),
#                                     written into bench/results.md in place of the old one
#   bench/run.sh --tls [BUILD_DIR]    only the section of lines over TLS against the plain network
#                                     lines (see tls_section), written in the same way
#   MONITORING=0 bench/run.sh         either without state files and audit records
#
# About 12 minutes after the build (--lines: about 5). Needs the project's build dependencies
# and no display.
# Every process it starts runs in a temporary directory and is stopped by its own id at the end.
set -euo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
SECTION_ONLY=
if [[ ${1:-} == --lines || ${1:-} == --tls ]]; then
    SECTION_ONLY=${1#--}
    shift
fi
BUILD=$(realpath -m "${1:-$REPO/build-bench}")
RESULTS=$REPO/bench/results.md
COMMAND="bench/run.sh${1:+ $1}"
# Sizes can be made smaller from the environment for a quick trial of the script itself.
SLOW_BYTES=${SLOW_BYTES:-16384}
FILE_BYTES=${FILE_BYTES:-65536}
BIG_BYTES=${BIG_BYTES:-1048576}
BER_BYTES=${BER_BYTES:-65536}
BER_SEEDS=${BER_SEEDS:-10}
BER=1e-5
TRIES=3  # on the noisy line the client starts a failed transfer again at most twice
ENTRIES=${ENTRIES:-100000}
IDLE_SECONDS=${IDLE_SECONDS:-60}
# 1: every server keeps its state file and audit records, as the package sets it up; 0: neither,
# for a run to compare against.
MONITORING=${MONITORING:-1}

die() { echo "bench: $*" >&2; exit 1; }

echo "== building (Release) in $BUILD"
# GCC 12 at -O3 reports a false -Wrestrict inside std::string::insert (a known compiler false
# positive); it must not stop the optimised build.
cmake -S "$REPO" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DRS232_BUILD_TESTS=OFF \
    -DCMAKE_CXX_FLAGS=-Wno-restrict >/dev/null
cmake --build "$BUILD" -j 2 --target rs232-server rs232-nullmodem rs232-bench-client
SER2NET=$(PATH=$PATH:/usr/sbin command -v ser2net) ||
    die "ser2net is missing (scripts/deps.sh installs it)"
SERVER=$BUILD/src/app/rs232-server
MODEM=$BUILD/tools/nullmodem/rs232-nullmodem
CLIENT=$BUILD/bench/rs232-bench-client

WORK=$(mktemp -d "${TMPDIR:-/tmp}/rs232-bench.XXXXXX")
PIDS=()
cleanup() {
    local pid
    for pid in "${PIDS[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
    for pid in "${PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$WORK"
}
trap cleanup EXIT
RUN_START=$SECONDS

forget() {  # pid: no longer ours to stop
    local keep=() p
    for p in "${PIDS[@]}"; do [[ $p == "$1" ]] || keep+=("$p"); done
    PIDS=("${keep[@]}")
}

stop() {  # pid: SIGTERM and reap (the server closes the way its window would)
    kill -TERM "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
    forget "$1"
}

wait_for() {  # file pattern seconds
    local end=$((SECONDS + $3))
    while ((SECONDS < end)); do
        grep -qs -- "$2" "$1" && return 0
        sleep 0.05
    done
    return 1
}

now() { date +%s.%N; }

# name baud [fault options] -> MODEM_PID; its ends are $WORK/<name>.a and $WORK/<name>.b
start_modem() {
    "$MODEM" --a "$WORK/$1.a" --b "$WORK/$1.b" --baud "$2" "${@:3}" >"$WORK/$1.modem" 2>&1 &
    MODEM_PID=$!
    PIDS+=("$MODEM_PID")
    wait_for "$WORK/$1.modem" '^ready ' 10 || die "the null-modem $1 did not start"
}

# A CA, the terminal server's certificate (IP:127.0.0.1) and the server's (CN rs232) in
# ser2net's allowed certificates, in $WORK/pki, for lines over TLS.
make_pki() {
    local k="-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -keyout"
    local l="-CA ca.pem -CAkey ca.key -addext basicConstraints=CA:FALSE"
    mkdir -p "$WORK/pki/auth/rs232/allowed_certs"
    (
        cd "$WORK/pki"
        openssl req -x509 $k ca.key -out ca.pem -subj /CN=ca
        openssl req -x509 $l $k ts.key -out ts.pem -subj /CN=ts -addext subjectAltName=IP:127.0.0.1
        openssl req -x509 $l $k rs232.key -out rs232.pem -subj /CN=rs232
        cp ca.pem rs232.pem auth/rs232/allowed_certs/
        openssl rehash auth/rs232/allowed_certs
    ) >/dev/null 2>&1 || die "openssl could not make the test certificates"
}

# name mode(rfc2217|tcp, either with +tls) device -> S2N_PID, S2N_PORT (the kernel picks it)
start_ser2net() {
    local accepter=tcp inodes hex end=$((SECONDS + 10))
    [[ $2 == *+tls ]] && accepter="ssl(key=$WORK/pki/ts.key,cert=$WORK/pki/ts.pem,clientauth),tcp"
    [[ $2 == rfc2217* ]] && accepter="telnet(rfc2217),$accepter"
    cat >"$WORK/$1.yaml" <<EOF
%YAML 1.1
---
connection: &line
  accepter: $accepter,127.0.0.1,0
  connector: serialdev,$3,115200n81,local
  options:
    chardelay: false
    authdir: $WORK/pki/auth
EOF
    "$SER2NET" -n -u -c "$WORK/$1.yaml" >"$WORK/$1.s2n" 2>&1 &
    S2N_PID=$!
    PIDS+=("$S2N_PID")
    while ((SECONDS < end)); do
        # Its listening socket: one of its descriptors' inodes in state 0A of /proc/net/tcp.
        inodes=$(find "/proc/$S2N_PID/fd" -lname 'socket:*' -printf '%l\n' 2>/dev/null |
            tr -dc '0-9\n' || true)
        hex=$(awk -v list="$inodes" '
            BEGIN {n = split(list, a, "\n"); for (i = 1; i <= n; ++i) w[a[i]] = 1}
            $4 == "0A" && ($10 in w) {split($2, p, ":"); print p[2]; exit}' /proc/net/tcp)
        [[ -n $hex ]] && S2N_PORT=$((16#$hex)) && return 0
        sleep 0.05
    done
    die "ser2net $1 did not listen: $(cat "$WORK/$1.s2n")"
}

free_ports() {  # port numbers no server on this machine holds nor a test leases, in random order
    local held p
    held=$(grep -o '\(RS232 \|rs232-test-port-\)[0-9]\+$' /proc/net/unix | grep -o '[0-9]\+$' || true)
    for p in $(shuf -i 1-99); do grep -qx "$p" <<<"$held" || echo "$p"; done
}

# name device baud blockpause(empty: the default) mode(headless|window)
#   -> SERVER_PID, SERVER_DIR (executable, settings, stdout in out), SERVER_BASE
start_server() {
    local name=$1 device=$2 baud=$3 pause=$4 mode=$5 port p
    local dir=$WORK/$name
    mkdir -p "$dir/base"
    cp "$SERVER" "$SERVER-window.so" "$dir/"
    {
        printf '[COMPORT]\nBAUDRATE=%s\n' "$baud"
        [[ -z $pause ]] || printf 'BLOCKPAUSE=%s\n' "$pause"
        printf '[PORTS]\n'
        for p in $(seq 1 99); do printf 'COM%d=%s\n' "$p" "$device"; done
        [[ $MONITORING == 0 ]] || printf '[LOG]\nAUDIT=1\n[STATUS]\nDIR=%s\n' "$WORK/status"
        [[ $device != *+tls://* ]] ||
            printf '[TLS]\nCA=%s/ca.pem\nCERT=%s/rs232.pem\nKEY=%s/rs232.key\n' "$WORK/pki" "$WORK/pki" "$WORK/pki"
    } >"$dir/rs232-server.ini"
    mkdir -p "$WORK/status"
    local -a envs=(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM -u RS232_STATUS_DIR)
    [[ $mode == window ]] && envs+=(QT_QPA_PLATFORM=offscreen)
    for port in $(free_ports); do
        (cd "$dir" && exec "${envs[@]}" ./rs232-server "$port" "$dir/base/") \
            >"$dir/out" 2>"$dir/err" &
        SERVER_PID=$!
        # Started: its log says so. Refused (another server took the port meanwhile): it ends.
        local end=$((SECONDS + 30))
        while ((SECONDS < end)) && kill -0 "$SERVER_PID" 2>/dev/null; do
            if grep -qs 'Rs232 Server started' "$dir/base/LOG/LOG${port}_"*.LOG; then
                PIDS+=("$SERVER_PID")
                SERVER_DIR=$dir
                SERVER_BASE=$dir/base
                return 0
            fi
            sleep 0.05
        done
        kill -KILL "$SERVER_PID" 2>/dev/null || true
        wait "$SERVER_PID" 2>/dev/null || true
    done
    die "the server $name did not start: $(cat "$dir/err")"
}

# CPU time in nanoseconds (the scheduler's run time): utime+stime count 10 ms clock ticks, too
# coarse for an idle server (one tick in 60 s is 0.017% of a core).
cpu_ns() { awk '{print $1}' "/proc/$1/schedstat"; }
status_kb() { awk -v k="$2:" '$1 == k {print $2}' "/proc/$1/status"; }

# label baud pause-ms output-of-the-helper [line]: one row of $WORK/transfers
record() {
    local bytes blocks chunk whole content
    eval "$(tr ' ' '\n' <<<"$4" | grep -E '^(bytes|blocks|chunk|whole|content)=')"
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$1" "$2" "$3" "$bytes" "$blocks" "$chunk" \
        "$content" "$whole" "${5:-pty}" >>"$WORK/transfers"
    printf '   %-9s %7s baud, pause %3s ms, %-7s: %8s bytes in %8.3f s (whole call %8.3f s)\n' \
        "$1" "$2" "$3" "${5:-pty}" "$bytes" "$content" "$whole"
}

qt_maps() { grep -c 'libQt' "/proc/$1/maps" || true; }

# Many lines at once: per N in LINES_N, N null-modems paced at 115200, on each a headless server
# (a port of its own, BLOCKPAUSE=0) and a client that downloads, then uploads, LINES_BYTES bytes;
# all N clients start together. Per N one row: the worst and median line's share of the line
# rate each way (transfer s as in the transfer table), the servers' CPU over the run per busy
# line and their memory, what the null-modems and the clients took, and how busy the machine was.
LINES_N=${LINES_N:-1 16 64}
LINES_BYTES=${LINES_BYTES:-262144}
machine_cpu() { awk '/^cpu / {print $2 + $3 + $4 + $7 + $8, $2 + $3 + $4 + $5 + $6 + $7 + $8}' /proc/stat; }
lines_run() {  # n
    local n=$1 i name t0 t1 busy0 total0 busy1 total1 ok=1
    local -a servers=() modems=() clients=() cpu0=() mcpu0=()
    for ((i = 1; i <= n; ++i)); do
        name=l$n-$i
        start_modem "$name" 115200
        modems+=("$MODEM_PID")
        start_server "$name" "$WORK/$name.a" 115200 0 headless
        servers+=("$SERVER_PID")
        ln -s "$SERVER_BASE" "$WORK/$name.base"
        head -c "$LINES_BYTES" /dev/urandom >"$SERVER_BASE/down.bin"
    done
    sleep 1
    for ((i = 0; i < n; ++i)); do
        cpu0+=("$(cpu_ns "${servers[i]}")")
        mcpu0+=("$(cpu_ns "${modems[i]}")")
    done
    read -r busy0 total0 < <(machine_cpu)
    t0=$(now)
    for ((i = 1; i <= n; ++i)); do
        name=l$n-$i
        (
            "$CLIENT" "$WORK/$name.b" 115200 get down.bin "$WORK/$name.down" >"$WORK/$name.get" &&
                "$CLIENT" "$WORK/$name.b" 115200 put "$WORK/$name.down" up.bin >"$WORK/$name.put"
            status=$?
            times >"$WORK/$name.times"  # its last line: the clients' user and system time
            exit "$status"
        ) &
        clients+=("$!")
        PIDS+=("$!")
    done
    for i in "${clients[@]}"; do
        wait "$i" || ok=0
        forget "$i"
    done
    t1=$(now)
    read -r busy1 total1 < <(machine_cpu)
    ((ok)) || die "a client of the $n lines failed"
    : >"$WORK/lines.$n"
    for ((i = 1; i <= n; ++i)); do
        name=l$n-$i
        cmp -s "$WORK/$name.base/down.bin" "$WORK/$name.down" || die "line $i of $n: the download differs"
        cmp -s "$WORK/$name.base/up.bin" "$WORK/$name.down" || die "line $i of $n: the upload differs"
        echo "$(tr ' ' '\n' <"$WORK/$name.get" | grep '^content=' | cut -d= -f2)" \
            "$(tr ' ' '\n' <"$WORK/$name.put" | grep '^content=' | cut -d= -f2)" \
            $(($(cpu_ns "${servers[i - 1]}") - cpu0[i - 1])) \
            $(($(cpu_ns "${modems[i - 1]}") - mcpu0[i - 1])) \
            "$(status_kb "${servers[i - 1]}" VmRSS)" "$(status_kb "${servers[i - 1]}" VmHWM)" \
            "$(tail -1 "$WORK/$name.times" | tr 'ms' '  ' | awk '{print ($1 + $3) * 60 + $2 + $4}')" \
            >>"$WORK/lines.$n"
    done
    for i in "${servers[@]}" "${modems[@]}"; do stop "$i"; done
    # bytes span machine-busy-share, then the per-line rows
    awk -v n="$n" -v bytes="$LINES_BYTES" -v span="$(awk -v a="$t0" -v b="$t1" 'BEGIN {print b - a}')" \
        -v busy="$(awk -v b="$((busy1 - busy0))" -v t="$((total1 - total0))" 'BEGIN {printf "%.0f", b / t * 100}')" '
        function sort(a, k,   i, j, t) { for (i = 1; i <= k; ++i) for (j = i + 1; j <= k; ++j) if (a[j] < a[i]) { t = a[i]; a[i] = a[j]; a[j] = t } }
        {
            line = 11520
            down[NR] = bytes / $1 / line * 100; up[NR] = bytes / $2 / line * 100
            cpu = $3 / 1e9 / span * 100; cpuSum += cpu; if (cpu > cpuMax) cpuMax = cpu
            modem += $4 / 1e9 / span * 100; client += $7 / span * 100
            rss += $5; if ($5 > rssMax) rssMax = $5; if ($6 > hwmMax) hwmMax = $6
        }
        END {
            sort(down, n); sort(up, n)
            target = n >= 64 ? 90 : n >= 16 ? 93 : 0
            worst = down[1] < up[1] ? down[1] : up[1]
            verdict = "-"
            if (target) {
                verdict = sprintf(">= %d%%: %s", target, worst >= target ? "met" : "NOT met")
                if (n >= 64) verdict = verdict sprintf("; <= 0.5%%: %s", cpuMax <= 0.5 ? "met" : "NOT met")
            }
            printf "| %d | %.1f / %.1f | %.1f / %.1f | %.3f / %.3f | %.0f / %d | %d | %.2f | %.2f | %s%% | %.0f | %s |\n", \
                n, down[1], down[int((n + 1) / 2)], up[1], up[int((n + 1) / 2)], cpuSum / n, cpuMax, \
                rss / n, rssMax, hwmMax, modem / n, client / n, busy, span, verdict
        }' "$WORK/lines.$n" >>"$WORK/lines"
    tail -1 "$WORK/lines" >&2
}
lines_section() {
    local n start=$SECONDS load
    load=$(cut -d' ' -f1-3 /proc/loadavg)
    : >"$WORK/lines"
    for n in $LINES_N; do
        echo "   $n lines at once, $LINES_BYTES bytes each way per line at 115200" >&2
        lines_run "$n"
    done
    echo "## Many lines at once"
    echo
    echo "- Command: \`bench/run.sh --lines${BUILD_ARG:+ $BUILD_ARG}\`, $(date -u '+%Y-%m-%d %H:%M UTC'), commit" \
        "$(git -C "$REPO" rev-parse --short HEAD 2>/dev/null || echo unknown), $((SECONDS - start)) s;" \
        "load average before $load, after $(cut -d' ' -f1-3 /proc/loadavg); $(nproc) CPUs"
    echo
    echo "N lines at once, each a null-modem paced at 115200 with its own headless server"
    echo "(BLOCKPAUSE=0) and client; every client downloads, then uploads, $LINES_BYTES random bytes, all"
    echo "starting together; every copy compared with its source."
    echo
    echo "| Lines | Download % of line rate, worst / median | Upload %, worst / median | Server CPU % of a core per line, mean / max | Server VmRSS kB, mean / max | Server VmHWM kB, max | Null-modem CPU % per line | Client CPU % per line | Machine busy | Run s | Target |"
    echo "|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|"
    cat "$WORK/lines"
    echo
    echo "- % of line rate: bytes / transfer s (header or start block acknowledged to the last data"
    echo "  block acknowledged, as in the transfer table) against 11520 bytes/s."
    echo "- CPU: the scheduler's run time over the run (all lines start together and end within"
    echo "  a few seconds of each other), as a share of one core; the clients' from their user and"
    echo "  system time. Machine busy: the share of both cores not idle over the run, from /proc/stat."
    echo "- On this machine the null-modems and clients (the test harness standing in for N UARTs and N"
    echo "  devices) share the two cores with the servers: when the machine is near 100% busy, late"
    echo "  wake-ups of the cable and the client, not the server, cost line rate."
}

: >"$WORK/transfers"
: >"$WORK/line"
# baud blockpause(empty: the default 50 ms) bytes upload(1: one upload too)
# via(empty: the pty itself; rfc2217 or tcp, either with +tls: through ser2net) -> one download
# and the upload
transfer_pair() {
    local baud=$1 pause=$2 bytes=$3 upload=$4 via=${5:-} name="t$1${2:+p$2}${5:+$5}" out s2n=
    start_modem "$name" "$baud"
    local modem=$MODEM_PID device=$WORK/$name.a
    if [[ -n $via ]]; then
        start_ser2net "$name" "$via" "$device"
        s2n=$S2N_PID
        device="$via://127.0.0.1:$S2N_PORT"
    elif [[ -z $pause ]] && ((baud >= 57600)); then
        # The cable's own delay, which every block round pays on top of the line time.
        out=$("$CLIENT" "$WORK/$name.b" "$baud" line "$WORK/$name.a")
        echo "$baud $out" >>"$WORK/line"
    fi
    start_server "$name" "$device" "$baud" "$pause" headless
    local server=$SERVER_PID base=$SERVER_BASE
    head -c "$bytes" /dev/urandom >"$base/down.bin"
    out=$("$CLIENT" "$WORK/$name.b" "$baud" get down.bin "$WORK/$name.down")
    cmp -s "$base/down.bin" "$WORK/$name.down" || die "download at $baud baud differs"
    record download "$baud" "${pause:-50}" "$out" "$via"
    if ((upload)); then
        out=$("$CLIENT" "$WORK/$name.b" "$baud" put "$WORK/$name.down" up.bin)
        cmp -s "$base/up.bin" "$WORK/$name.down" || die "upload at $baud baud differs"
        record upload "$baud" - "$out" "$via"
    fi
    stop "$server"
    [[ -z $s2n ]] || stop "$s2n"
    stop "$modem"
}

# Lines over TLS against their plain forms through ser2net at 115200, $FILE_BYTES bytes each
# way: per run the four lines one after the other, each a fresh cable, ser2net and server; the
# median of $TLS_RUNS runs.
TLS_RUNS=${TLS_RUNS:-3}
tls_section() {
    local run via start=$SECONDS load
    load=$(cut -d' ' -f1-3 /proc/loadavg)
    make_pki
    : >"$WORK/transfers"
    for ((run = 1; run <= TLS_RUNS; ++run)); do
        for via in rfc2217 rfc2217+tls tcp tcp+tls; do
            transfer_pair 115200 "" "$FILE_BYTES" 1 "$via" >&2
        done
    done
    echo "## Over TLS"
    echo
    echo "- Command: \`bench/run.sh --tls${BUILD_ARG:+ $BUILD_ARG}\`, $(date -u '+%Y-%m-%d %H:%M UTC'), commit" \
        "$(git -C "$REPO" rev-parse --short HEAD 2>/dev/null || echo unknown), $((SECONDS - start)) s;" \
        "load average before $load, after $(cut -d' ' -f1-3 /proc/loadavg); $(nproc) CPUs"
    echo
    echo "$FILE_BYTES random bytes each way at 115200 with the server's end of the cable behind ser2net on"
    echo "loopback, the plain line against the same line over TLS (\`ssl(...,clientauth)\`, ECDSA P-256"
    echo "certificates on both sides), the client on the cable's other end; rates as in the transfer"
    echo "table, the median of $TLS_RUNS runs:"
    echo
    echo "| Transfer | Lines | Plain B/s | TLS B/s | TLS % of plain | Target |"
    echo "|---|---|---:|---:|---:|---|"
    awk -F'\t' '
    function median(list,   a, n, i, j, t) {
        n = split(list, a, " ")
        for (i = 1; i <= n; ++i) for (j = i + 1; j <= n; ++j) if (a[j] < a[i]) { t = a[i]; a[i] = a[j]; a[j] = t }
        return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
    }
    { rate[$1, $9] = rate[$1, $9] " " $4 / $7 }
    END {
        split("download upload", dirs, " "); split("rfc2217 tcp", kinds, " ")
        for (d = 1; d <= 2; ++d) for (k = 1; k <= 2; ++k) {
            plain = median(rate[dirs[d], kinds[k]]); tls = median(rate[dirs[d], kinds[k] "+tls"])
            printf "| %s | %s:// / %s+tls:// | %.0f | %.0f | %.1f | >= 98%%: %s |\n", dirs[d], \
                kinds[k], kinds[k], plain, tls, tls / plain * 100, (tls >= plain * 0.98 ? "met" : "NOT met")
        }
    }' "$WORK/transfers"
}

BUILD_ARG=${1:-}
if [[ -n $SECTION_ONLY ]]; then
    echo "== measuring $SECTION_ONLY in $WORK"
    title=$([[ $SECTION_ONLY == lines ]] && echo "Many lines" || echo "Over TLS")
    "${SECTION_ONLY}_section" >"$WORK/section"
    {
        [[ ! -f $RESULTS ]] || awk -v t="## $title" '/^## /{skip = index($0, t) == 1} !skip' "$RESULTS"
        echo
        cat "$WORK/section"
    } | cat -s >"$WORK/results"
    mv "$WORK/results" "$RESULTS"
    echo
    cat "$WORK/section"
    echo
    echo "written to $RESULTS"
    exit 0
fi

LOAD_BEFORE=$(cut -d' ' -f1-3 /proc/loadavg)
echo "== measuring in $WORK"

# Idle: one headless server and one with the window, on the two ends of an idle line, sampled in
# the background while the slow 9600 and 57600 baud transfers run.
start_modem idle 115200
start_server idle-headless "$WORK/idle.a" 115200 "" headless
IDLE_HEADLESS=$SERVER_PID
start_server idle-window "$WORK/idle.b" 115200 "" window
IDLE_WINDOW=$SERVER_PID
IDLE_MODEM=$MODEM_PID
IDLE_H_QT=$(qt_maps "$IDLE_HEADLESS")
IDLE_W_QT=$(qt_maps "$IDLE_WINDOW")
idle_sample() {  # pid name
    sleep 5
    local t0 s0 t1 s1
    t0=$(cpu_ns "$1")
    s0=$(now)
    sleep "$IDLE_SECONDS"
    t1=$(cpu_ns "$1")
    s1=$(now)
    echo "$2 $(awk -v a="$t0" -v b="$t1" -v s="$s0" -v e="$s1" \
        'BEGIN {printf "%.4f %.3f", (b - a) / 1e9, e - s}') $(status_kb "$1" VmRSS) \
        $(status_kb "$1" VmHWM)" >"$WORK/idle.$2"
}
idle_sample "$IDLE_HEADLESS" headless &
SAMPLER1=$!
idle_sample "$IDLE_WINDOW" window &
SAMPLER2=$!
PIDS+=("$SAMPLER1" "$SAMPLER2")

transfer_pair 9600 "" "$SLOW_BYTES" 1
transfer_pair 57600 "" "$FILE_BYTES" 1
wait "$SAMPLER1" "$SAMPLER2"
forget "$SAMPLER1"
forget "$SAMPLER2"
stop "$IDLE_HEADLESS"
stop "$IDLE_WINDOW"
stop "$IDLE_MODEM"
for baud in 115200 230400 460800 921600; do
    transfer_pair "$baud" "" "$FILE_BYTES" 0
    transfer_pair "$baud" 0 "$BIG_BYTES" 1
done
transfer_pair 115200 "" "$FILE_BYTES" 1 rfc2217
transfer_pair 115200 "" "$FILE_BYTES" 1 tcp

# The noisy line: per seed a fresh cable flipping each bit with probability $BER in both
# directions, a fresh server (BLOCKPAUSE=0, so that a repeat costs the most against a clean
# transfer), and one download and one upload, each tried up to $TRIES times by the client's
# own retries. The clean figures are the median of three runs of the same calls on a clean
# cable. Seconds are whole client calls, failed tries included.
# name kind(get|put) baud -> "tries seconds" on stdout (0 tries: failed)
noisy_call() {
    local name=$1 kind=$2 baud=$3 t0 t1 out tries=0
    local -a args=(get down.bin "$WORK/$name.down")
    [[ $kind == get ]] || args=(put "$WORK/$name.src" up.bin)
    t0=$(now)
    if out=$("$CLIENT" "$WORK/$name.b" "$baud" "${args[@]}" $((TRIES - 1)) 2>>"$WORK/$name.client"); then
        if [[ $kind == get ]]; then
            cmp -s "$WORK/$name.base/down.bin" "$WORK/$name.down" && tries=${out##*tries=}
        else
            cmp -s "$WORK/$name.base/up.bin" "$WORK/$name.src" && tries=${out##*tries=}
        fi
    fi
    t1=$(now)
    awk -v n="$tries" -v a="$t0" -v b="$t1" 'BEGIN {printf "%d %.3f", n, b - a}'
}
noisy_run() {  # name seed(0: a clean cable) table
    local name=$1 seed=$2 baud=115200 down up flipped
    if ((seed)); then
        start_modem "$name" "$baud" --seed "$seed" --ber "$BER"
    else
        start_modem "$name" "$baud"
    fi
    local modem=$MODEM_PID
    start_server "$name" "$WORK/$name.a" "$baud" 0 headless
    local server=$SERVER_PID
    ln -s "$SERVER_BASE" "$WORK/$name.base"
    head -c "$BER_BYTES" /dev/urandom >"$SERVER_BASE/down.bin"
    cp "$SERVER_BASE/down.bin" "$WORK/$name.src"
    down=$(noisy_call "$name" get "$baud")
    up=$(noisy_call "$name" put "$baud")
    stop "$server"
    stop "$modem"
    flipped=$(grep -o 'bits flipped [0-9]*' "$WORK/$name.modem" | awk '{n += $3} END {print n + 0}')
    echo "$seed $down $up $flipped" >>"$WORK/$3"
    printf '   %-6s seed %2d: download %s, upload %s (tries, s); %s bits flipped\n' \
        "$name" "$seed" "$down" "$up" "$flipped"
}
echo "   noisy line: $BER_BYTES bytes each way at 115200, bit error rate $BER, $BER_SEEDS seeds"
: >"$WORK/clean"
: >"$WORK/noisy"
for run in 1 2 3; do noisy_run "clean$run" 0 clean; done
for seed in $(seq 1 "$BER_SEEDS"); do noisy_run "ber$seed" "$seed" noisy; done

# Memory over 1 MiB each way on an unpaced line, one headless server; then the big listing on
# the same server.
echo "   memory: $BIG_BYTES bytes each way, unpaced"
start_modem mem 0
MEM_MODEM=$MODEM_PID
start_server mem "$WORK/mem.a" 115200 0 headless
MEM_SERVER=$SERVER_PID
MEM_BASE=$SERVER_BASE
sleep 2
RSS_START=$(status_kb "$MEM_SERVER" VmRSS)
MEM_QT=$(qt_maps "$MEM_SERVER")
head -c "$BIG_BYTES" /dev/urandom >"$MEM_BASE/big.bin"
out=$("$CLIENT" "$WORK/mem.b" 115200 get big.bin "$WORK/big.down")
cmp -s "$MEM_BASE/big.bin" "$WORK/big.down" || die "the unpaced download differs"
record download 0 0 "$out"
RSS_AFTER_DOWN=$(status_kb "$MEM_SERVER" VmRSS)
out=$("$CLIENT" "$WORK/mem.b" 115200 put "$WORK/big.down" bigup.bin)
cmp -s "$MEM_BASE/bigup.bin" "$WORK/big.down" || die "the unpaced upload differs"
record upload 0 - "$out"
RSS_AFTER_UP=$(status_kb "$MEM_SERVER" VmRSS)
HWM_AFTER_UP=$(status_kb "$MEM_SERVER" VmHWM)

echo "   listing: $ENTRIES entries"
mkdir "$WORK/many"
(cd "$WORK/many" && seq -f 'entry%06g.dat' 0 $((ENTRIES - 1)) | xargs touch)
out=$("$CLIENT" "$WORK/mem.b" 115200 dl "$MEM_BASE/many.lst" "$WORK/many/" "$SERVER_DIR/out")
eval "$(tr ' ' '\n' <<<"$out" | grep -E '^(acked|written)=')"
LIST_BYTES=$(stat -c %s "$MEM_BASE/many.lst")
LIST_LINES=$(wc -l <"$MEM_BASE/many.lst")
RSS_AFTER_LIST=$(status_kb "$MEM_SERVER" VmRSS)
HWM_AFTER_LIST=$(status_kb "$MEM_SERVER" VmHWM)
stop "$MEM_SERVER"
stop "$MEM_MODEM"
RUN_SECONDS=$((SECONDS - RUN_START))

read -r _ IDLE_H_CPU IDLE_H_SECONDS IDLE_H_RSS IDLE_H_HWM <"$WORK/idle.headless"
read -r _ IDLE_W_CPU IDLE_W_SECONDS IDLE_W_RSS IDLE_W_HWM <"$WORK/idle.window"

# ---- report -------------------------------------------------------------------------------
cpu_percent() { awk -v c="$1" -v s="$2" 'BEGIN {printf "%.3f", c / s * 100}'; }
met() {  # value target min|max|below
    awk -v v="$1" -v t="$2" -v dir="$3" 'BEGIN {
        ok = dir == "min" ? v >= t : dir == "below" ? v < t : v <= t
        print ok ? "met" : "NOT met"
    }'
}
IDLE_H_PCT=$(cpu_percent "$IDLE_H_CPU" "$IDLE_H_SECONDS")
IDLE_W_PCT=$(cpu_percent "$IDLE_W_CPU" "$IDLE_W_SECONDS")

# Ceiling per data block of n bytes: the line time of the block and its ACK (n + 22 + 1 bytes),
# plus the server's pause for a download. "exact" applies that to the blocks actually sent (the
# last one short), the ceiling rate to full blocks of the client's or server's block size.
# Targets: the upload at 115200 and above and the download at 921600 without a pause reach 90%
# of the line over the whole client call; every other row 95% of its ceiling.
transfer_table() {
    awk -F'\t' '
    function blk(dir, len, baud, pause,   t) {
        t = (len + 23) * 10 / baud
        return dir == "download" ? t + pause / 1000 : t
    }
    BEGIN {
        print "| Transfer | Baud | Pause ms | Bytes | Blocks x data | Transfer s | Whole call s | Rate B/s | % of line rate | Whole call % of line | Ceiling B/s | % of ceiling | % of exact ceiling | Target |"
        print "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|"
    }
    $9 != "pty" { next }
    {
        dir = $1; baud = $2; pause = ($3 == "-" ? 0 : $3); bytes = $4; blocks = $5
        chunk = $6; content = $7; whole = $8; rate = bytes / content
        if (baud == 0) {
            printf "| %s | unpaced | %s | %d | %d x %d | %.3f | %.3f | %.0f | - | - | - | - | - | - |\n", \
                dir, $3, bytes, blocks, chunk, content, whole, rate
            next
        }
        line = baud / 10
        ceil = chunk / blk(dir, chunk, baud, pause)
        full = int(bytes / chunk); rest = bytes - full * chunk
        exact = full * blk(dir, chunk, baud, pause) + (rest > 0 ? blk(dir, rest, baud, pause) : 0)
        share = rate / ceil * 100
        wholeShare = bytes / whole / line * 100
        if (baud >= 115200 && (dir == "upload" || (baud == 921600 && pause == 0)))
            target = sprintf(">= 90%% of line: %s", wholeShare >= 90 ? "met" : "NOT met")
        else
            target = sprintf(">= 95%% of ceiling: %s", share >= 95 ? "met" : "NOT met")
        printf "| %s | %d | %s | %d | %d x %d | %.3f | %.3f | %.0f | %.1f | %.1f | %.0f | %.1f | %.1f | %s |\n", \
            dir, baud, $3, bytes, blocks, chunk, content, whole, rate, rate / line * 100, \
            wholeShare, ceil, share, exact / content * 100, target
    }' "$WORK/transfers"
}

# The rows through ser2net against the direct pty rows of the same direction, rate and pause.
network_table() {
    awk -F'\t' '
    BEGIN {
        print "| Transfer | Baud | Line | Bytes | Transfer s | Rate B/s | Direct pty B/s | % of direct | >= 95% |"
        print "|---|---:|---|---:|---:|---:|---:|---:|---|"
    }
    { key = $1 SUBSEP $2 SUBSEP $3 }
    $9 == "pty" { direct[key] = $4 / $7; next }
    { n++; row[n] = $0; k[n] = key }
    END {
        for (i = 1; i <= n; ++i) {
            split(row[i], f, "\t")
            rate = f[4] / f[7]; share = rate / direct[k[i]] * 100
            printf "| %s | %d | %s | %d | %.3f | %.0f | %.0f | %.1f | %s |\n", f[1], f[2], \
                f[9] "://", f[4], f[7], rate, direct[k[i]], share, (share >= 95 ? "yes" : "NO")
        }
    }' "$WORK/transfers"
}

# The noisy line: per seed the tries and seconds of each way, then the totals against the
# median of the clean runs.
noisy_table() {
    echo "| Seed | Bits flipped | Download tries | Download s | Upload tries | Upload s |"
    echo "|---:|---:|---:|---:|---:|---:|"
    awk '{printf "| %d | %d | %s | %.3f | %s | %.3f |\n", $1, $6, ($2 ? $2 : "failed"), $3, \
        ($4 ? $4 : "failed"), $5}' "$WORK/noisy"
}
noisy_summary() {
    echo "| Way | Completed | Repeated | Clean s (median of 3) | Noisy s (median) | Noisy s (worst) | Throughput kept | Target |"
    echo "|---|---:|---:|---:|---:|---:|---:|---|"
    local way col
    for way in download upload; do
        col=$([[ $way == download ]] && echo 2 || echo 4)
        awk -v way="$way" -v c="$col" -v bytes="$BER_BYTES" '
            function median(a, n,   i, j, t) {
                for (i = 1; i <= n; ++i) for (j = i + 1; j <= n; ++j) if (a[j] < a[i]) { t = a[i]; a[i] = a[j]; a[j] = t }
                return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
            }
            FNR == 1 { file++ }
            file == 1 { clean[++nc] = $(c + 1) }
            file == 2 {
                ++n; secs[n] = $(c + 1); total += $(c + 1)
                if ($c > 0) ++done
                if ($c > 1) ++again
                if ($(c + 1) > worst) worst = $(c + 1)
            }
            END {
                cm = median(clean, nc); kept = n * cm / total * 100
                printf "| %s | %d of %d | %d | %.3f | %.3f | %.3f | %.1f%% | >= 85%% kept and %d of %d: %s |\n", \
                    way, done, n, again, cm, median(secs, n), worst, kept, n, n, \
                    (kept >= 85 && done == n) ? "met" : "NOT met"
            }' "$WORK/clean" "$WORK/noisy"
    done
}

CPU_MODEL=$(awk -F': ' '/^model name/ {print $2; exit}' /proc/cpuinfo)
# The sections of many lines at once and of TLS come from their own runs (--lines, --tls) and stay.
LINES_KEPT=$([[ ! -f $RESULTS ]] || awk '/^## /{on = /^## (Many lines|Over TLS)/} on' "$RESULTS")
COMMIT=$(git -C "$REPO" rev-parse --short HEAD 2>/dev/null || echo unknown)
DIRTY=$(git -C "$REPO" status --porcelain 2>/dev/null | wc -l)
LOAD_AFTER=$(cut -d' ' -f1-3 /proc/loadavg)

{
    echo "# rs232-server benchmark results"
    echo
    echo "- Command: \`$COMMAND\` (Release build, $((RUN_SECONDS / 60)) min $((RUN_SECONDS % 60)) s of measuring)"
    echo "- Date: $(date -u '+%Y-%m-%d %H:%M UTC')"
    echo "- Machine: $(nproc) CPUs, $CPU_MODEL, kernel $(uname -sr), load average before the run $LOAD_BEFORE, after it $LOAD_AFTER"
    SOURCE="commit $COMMIT"
    ((DIRTY == 0)) || SOURCE+=" with $DIRTY uncommitted paths"
    echo "- Source: $SOURCE"
    echo "- Every server kept its state file and audit records: $( ((MONITORING == 0)) && echo no || echo yes) (MONITORING=$MONITORING)"
    echo "- The machine is shared: other builds and tests ran during the run (see the load averages)."
    echo "  Rows whose block rounds are shortest (230400 baud and above) lose the most to that."
    echo
    echo "## Transfers"
    echo
    echo "Random bytes each way over \`rs232-nullmodem\` paced at the baud rate (10 bits a byte), the"
    echo "server headless; every copy compared with its source. $SLOW_BYTES bytes at 9600 and $FILE_BYTES at 57600"
    echo "(larger files would only take longer at the same rate); at 115200 and above $BIG_BYTES bytes each"
    echo "way with BLOCKPAUSE=0, and a $FILE_BYTES-byte download with the default pause of 50 ms, whose"
    echo "ceiling the pause sets."
    echo
    transfer_table
    echo
    echo "- Transfer s: from the acknowledgement of the download header / upload start block to the"
    echo "  acknowledgement of the last data block, timed inside the client's own Get and Put"
    echo "  (\`bench/rs232-bench-client\`; the client offers no timing of its own). Rate = bytes /"
    echo "  transfer s. Whole call s adds the fixed costs: ENQ/SYN, the request and header (or start) block,"
    echo "  the end block, and for an upload the DR before it and the ENQ + IR confirmation after it."
    echo "- Blocks x data: data blocks and the largest block's data bytes (the server sends 500, the"
    echo "  client's \`put\` its own block size)."
    echo "- Ceiling: data bytes per (line time of the block and its ACK, data + 23 bytes), plus the pause"
    echo "  for a download. The server serves each block as it arrives, so no tick limits the upload."
    echo "  % of exact ceiling applies the same per-block costs to the blocks actually sent."
    echo
    echo "### Through a terminal server"
    echo
    echo "The same transfers at 115200 with the server's end of the cable behind ser2net on loopback"
    echo "(\`serialdev,...,115200n81,local\`, \`chardelay: false\`), the server on \`rfc2217://127.0.0.1:PORT\` or"
    echo "\`tcp://127.0.0.1:PORT\`, the client on the cable's other end as above; against the direct"
    echo "pty rows of this run:"
    echo
    network_table
    echo
    echo "What the null-modem itself adds (median of 41 transfers on the bare cable, before the server"
    echo "opens it), and the share of the line left for a download without a pause if that were the"
    echo "only loss:"
    echo
    echo "| Baud | ACK ms (ideal) | 522-byte block ms (ideal) | Added per block round ms | Share left |"
    echo "|---:|---:|---:|---:|---:|"
    awk '{
        for (i = 2; i <= NF; ++i) { split($i, kv, "="); v[kv[1]] = kv[2] }
        extra = v["ack"] - v["ack_ideal"] + v["block"] - v["block_ideal"]
        round = v["ack_ideal"] + v["block_ideal"]
        printf "| %d | %.3f (%.3f) | %.3f (%.3f) | %.3f | %.1f%% |\n", $1, v["ack"], v["ack_ideal"], \
            v["block"], v["block_ideal"], extra, round / (round + extra) * 100
    }' "$WORK/line"
    echo
    echo "## Noisy line"
    echo
    echo "$BER_BYTES bytes each way at 115200 with every bit on the cable flipped with probability $BER in"
    echo "both directions, one seed of the cable's fault generator per row, a fresh cable and server"
    echo "(BLOCKPAUSE=0) per seed. A transfer that fails on the line is started again from the"
    echo "beginning by the client (\`--retries $((TRIES - 1))\`, $TRIES tries at most); seconds are the whole"
    echo "client calls of all tries, and throughput kept is the clean median over the mean of the"
    echo "noisy runs."
    echo
    noisy_summary
    echo
    noisy_table
    echo
    echo "## Idle CPU and memory"
    echo
    echo "| Measure | Headless | Window (QT_QPA_PLATFORM=offscreen) | Target (headless) |"
    echo "|---|---:|---:|---|"
    echo "| CPU over ${IDLE_H_SECONDS%.*} s idle (schedstat run time) | ${IDLE_H_CPU} s = ${IDLE_H_PCT}% of a core | ${IDLE_W_CPU} s = ${IDLE_W_PCT}% of a core | < 0.1%: $(met "$IDLE_H_PCT" 0.1 below) |"
    echo "| VmRSS after the idle period | ${IDLE_H_RSS} kB | ${IDLE_W_RSS} kB | <= 6000 kB: $(met "$IDLE_H_RSS" 6000 max) |"
    echo "| VmHWM after the idle period | ${IDLE_H_HWM} kB | ${IDLE_W_HWM} kB | |"
    echo "| libQt mappings in /proc/PID/maps | $IDLE_H_QT | $IDLE_W_QT | none: $( ((IDLE_H_QT == 0)) && echo met || echo "NOT met") |"
    echo
    echo "Memory over $BIG_BYTES bytes each way on an unpaced line (\`--baud 0\`), one headless server,"
    echo "BLOCKPAUSE=0 ($MEM_QT libQt mappings):"
    echo
    echo "| Point | VmRSS kB | Growth kB | Target |"
    echo "|---|---:|---:|---|"
    echo "| started, 2 s idle | $RSS_START | | <= 6000 kB: $(met "$RSS_START" 6000 max) |"
    echo "| after the $BIG_BYTES-byte download | $RSS_AFTER_DOWN | $((RSS_AFTER_DOWN - RSS_START)) | |"
    echo "| after the $BIG_BYTES-byte upload | $RSS_AFTER_UP | $((RSS_AFTER_UP - RSS_AFTER_DOWN)) | <= 6000 kB: $(met "$RSS_AFTER_UP" 6000 max) |"
    echo "| VmHWM after both | $HWM_AFTER_UP | $((HWM_AFTER_UP - RSS_START)) over the start | |"
    echo
    echo "## Listing of $ENTRIES entries"
    echo
    echo "DL of a directory holding $ENTRIES empty files, on the same server, unpaced line:"
    echo
    echo "| Measure | Value |"
    echo "|---|---:|"
    echo "| request acknowledged after | $(awk -v v="$acked" 'BEGIN {printf "%.3f s", v}') |"
    echo "| \"Directory ... written\" after | $(awk -v v="$written" 'BEGIN {printf "%.3f s", v}') |"
    echo "| list file | $LIST_BYTES bytes, $LIST_LINES lines |"
    echo "| VmRSS / VmHWM after | $RSS_AFTER_LIST / $HWM_AFTER_LIST kB |"
    echo
    echo "Timed from the first byte of the DL block to the server's event line on its stdout, which it"
    echo "writes after closing the list file. The block goes 100 ms after the SYN, so the time counts"
    echo "the server's work on the request alone."
    [[ -z $LINES_KEPT ]] || printf '\n%s\n' "$LINES_KEPT"
} >"$RESULTS"

echo
cat "$RESULTS"
echo
echo "written to $RESULTS"
