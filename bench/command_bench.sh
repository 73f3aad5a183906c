#!/usr/bin/env bash
# The quorlin command as a check process (hyperfine):
#
#   start-up   quorlin --version against /bin/true, side by side: what a
#              process of ours costs before it does anything (no root needed)
#
# and against the interface-based alternative, side by side on one local
# wireguard-go peer:
#
#   quorlin    quorlin CONFIG --ping PEER_TUNNEL_IP, one process
#   interface  start a wireguard-go client interface, configure it with wg and
#              ip, one ping through it, tear it down (bench/interface_check.sh)
#
# Both run in a client namespace joined to the peer's namespace by a veth pair
# (documentation addresses 192.0.2.1 and 192.0.2.2), with the same client key.
# Prints the start-up cost over /bin/true, the wall (median) and CPU (mean
# user + system) ratios and the command's peak RSS against the goals
# (figures only: never fails on a time). The peer part needs root.
#
#   bash bench/command_bench.sh QUORLIN_EXECUTABLE [RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."

quorlin=$(realpath "${1:?usage: command_bench.sh QUORLIN_EXECUTABLE [RUNS]}")
runs=${2:-50}
STARTUP_RUNS_PER_RUN=20  # a start is about a millisecond: many more samples for the same time
PEER_START_TIMEOUT_S=60
PEER_STOP_TIMEOUT_S=30
# Runs with one key take turns 50 ms apart (the peer ignores a second initiation
# from one key within about 20 ms): spaced wider, no run waits for its turn.
FLOOD_SPACING_S=0.06

echo "command benchmark: quorlin start-up, and quorlin against an interface-based check (figures, never pass/fail)"
if ! command -v hyperfine >/dev/null; then echo "  hyperfine is not installed (scripts/bench.sh installs it): skipped"; exit 0; fi

suffix=$$
client_ns="qcb-$suffix"
workdir=""
peer_pid=""
peer_in=""
namespace_added=0

cleanup() {
  local status=$?
  trap - EXIT INT TERM
  # Deleting the namespace removes the veth pair and any client interface left
  # by an interrupted run, which ends its wireguard-go.
  if ((namespace_added)); then ip netns delete "$client_ns" 2>/dev/null || true; fi
  rm -f "/var/run/wireguard/qcbwg$suffix.sock"
  if [ -n "$peer_pid" ]; then
    { exec {peer_in}>&-; } 2>/dev/null || true
    local waited=0
    while kill -0 "$peer_pid" 2>/dev/null && ((waited < PEER_STOP_TIMEOUT_S * 10)); do
      sleep 0.1; waited=$((waited + 1))
    done
    kill -TERM "$peer_pid" 2>/dev/null || true
    wait "$peer_pid" 2>/dev/null || true
  fi
  if [ -n "$workdir" ]; then rm -rf -- "$workdir"; fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

workdir=$(mktemp -d -t quorlin-command-bench.XXXXXXXX)
chmod 700 "$workdir"

# Start-up: the same process image does nothing but print its version.
echo
hyperfine --style basic -N --warmup 20 --runs "$((runs * STARTUP_RUNS_PER_RUN))" \
  --export-json "$workdir/startup.json" -n true /bin/true -n version "$quorlin --version"
python3 - "$workdir/startup.json" <<'PY'
import json, sys
results = {r["command"]: r for r in json.load(open(sys.argv[1]))["results"]}
true, version = results["true"], results["version"]
cpu = lambda r: r["user"] + r["system"]
print()
print(f"  {'':34} {'wall median':>12} {'wall min':>12} {'CPU mean':>12}")
for name, r in (("/bin/true", true), ("quorlin --version", version)):
    print(f"  {name:34} {r['median'] * 1e3:9.3f} ms {r['min'] * 1e3:9.3f} ms {cpu(r) * 1e3:9.3f} ms")
print(f"  {'start-up over /bin/true':34} {(version['median'] - true['median']) * 1e3:9.3f} ms "
      f"{(version['min'] - true['min']) * 1e3:9.3f} ms {(cpu(version) - cpu(true)) * 1e3:9.3f} ms   (goal <= 0.5 ms)")
print(f"  {'quorlin --version / /bin/true':34} {version['median'] / true['median']:9.2f} x")
PY

echo
if [ "$(id -u)" -ne 0 ]; then echo "  the check against an interface needs root for the peer and the interfaces: skipped"; exit 0; fi
for tool in ping /usr/bin/time; do
  if ! command -v "$tool" >/dev/null; then echo "  $tool is not installed (scripts/bench.sh installs it): skipped"; exit 0; fi
done
if ! reason=$(python3 -c 'import sys; sys.path.insert(0, "tests/peer"); import wgpeer
r = wgpeer.unavailable_reason(); print(r or ""); sys.exit(1 if r else 0)'); then
  echo "  the real peer cannot run here ($reason): skipped"; exit 0
fi

# The peer lives while its stdin stays open.
coproc PEER { exec python3 tests/peer/wgpeer.py serve --no-dns; }
peer_pid=$PEER_PID
peer_in=${PEER[1]}
line=""
if ! read -r -t "$PEER_START_TIMEOUT_S" -u "${PEER[0]}" line || [ -z "$line" ]; then
  echo "  the peer did not start within ${PEER_START_TIMEOUT_S} s" >&2; exit 1
fi

# The client's files (mode 0600) and the peer's namespace and tunnel address;
# the keys go through a pipe, never onto a command line.
IFS= read -r -d '' write_files <<'PY' || true
import json, os, sys
info = json.loads(sys.stdin.readline())
if "error" in info:
    sys.exit("the peer did not start: " + info["error"])
workdir = sys.argv[1]
def secret(name, text):
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC | os.O_NOFOLLOW
    with os.fdopen(os.open(os.path.join(workdir, name), flags, 0o600), "w") as f:
        f.write(text)
secret("wg-bench.conf", f"[Interface]\nPrivateKey = {info['client_private_key']}\nAddress = {info['client_address']}\n\n"
       f"[Peer]\nPublicKey = {info['peer_public_key']}\nEndpoint = 192.0.2.1:{info['listen_port']}\n"
       "AllowedIPs = 10.99.0.0/24\n")
secret("client.key", info["client_private_key"] + "\n")
print(info["namespace"], info["peer_tunnel_ip"], info["peer_public_key"], info["client_address"], info["listen_port"])
PY
read -r peer_ns peer_ip peer_key client_address port < <(printf '%s\n' "$line" | python3 -c "$write_files" "$workdir")

ip netns add "$client_ns"
namespace_added=1
ip -n "$client_ns" link set lo up
ip -n "$client_ns" link add "qcbc$suffix" type veth peer name "qcbp$suffix" netns "$peer_ns"
ip -n "$client_ns" address add 192.0.2.2/24 dev "qcbc$suffix"
ip -n "$peer_ns" address add 192.0.2.1/24 dev "qcbp$suffix"
ip -n "$client_ns" link set "qcbc$suffix" up
ip -n "$peer_ns" link set "qcbp$suffix" up

quorlin_run=("$quorlin" "$workdir/wg-bench.conf" --ping "$peer_ip")
interface_run=(bash bench/interface_check.sh "qcbwg$suffix" "$workdir/client.key" "$peer_key"
               "192.0.2.1:$port" "$client_address" "$peer_ip")
in_client() { ip netns exec "$client_ns" "$@"; }

# Both must work before they are timed.
if ! in_client "${quorlin_run[@]}" >/dev/null; then echo "  quorlin did not confirm the data plane" >&2; exit 1; fi
sleep "$FLOOD_SPACING_S"
if ! in_client "${interface_run[@]}"; then echo "  the interface-based check failed" >&2; exit 1; fi

echo
in_client hyperfine --style basic -N --warmup 3 --runs "$runs" --prepare "sleep $FLOOD_SPACING_S" \
  --export-json "$workdir/times.json" \
  -n quorlin "${quorlin_run[*]}" -n interface "${interface_run[*]}"

# Peak RSS: the largest of several runs, as GNU time reads it from the kernel.
peak_kib=0
for _ in 1 2 3 4 5 6 7 8 9 10; do
  sleep "$FLOOD_SPACING_S"
  kib=$(in_client /usr/bin/time -f %M "${quorlin_run[@]}" 2>&1 >/dev/null | tail -n 1)
  ((kib > peak_kib)) && peak_kib=$kib
done

python3 - "$workdir/times.json" "$peak_kib" <<'PY'
import json, sys
results = {r["command"]: r for r in json.load(open(sys.argv[1]))["results"]}
q, alt = results["quorlin"], results["interface"]
cpu = lambda r: r["user"] + r["system"]
print()
print(f"  {'':34} {'wall median':>12} {'CPU mean':>12}")
for name, r in (("quorlin CONFIG --ping", q), ("interface up, ping, down", alt)):
    print(f"  {name:34} {r['median'] * 1e3:9.2f} ms {cpu(r) * 1e3:9.2f} ms")
print(f"  {'wall: interface / quorlin':34} {alt['median'] / q['median']:9.1f} x   (goal >= 15 x)")
print(f"  {'CPU: interface / quorlin':34} {cpu(alt) / cpu(q):9.1f} x   (goal >= 10 x)")
print(f"  {'peak RSS of quorlin':34} {int(sys.argv[2]) / 1024:9.2f} MiB (goal <= 5 MiB)")
PY
