#!/usr/bin/env bash
# One-step demo, as root on Debian 12: installs what is missing, builds and
# installs quorlin, starts a local WireGuard peer (wireguard-go and dnsmasq in
# a private network namespace), probes it with the `quorlin` command (a ping
# and a DNS check through the tunnel), shows the report as a table and as
# JSON, and tears the peer down again, on every path.
#
#   bash scripts/demo.sh               # install, build, probe
#   bash scripts/demo.sh --no-install  # probe with the quorlin already installed
#
# The peer answers on its namespace's loopback, so the probe runs inside that
# namespace (`ip netns exec`); nothing leaves the machine and the host's own
# interfaces and routes are not touched.
set -euo pipefail
cd "$(dirname "$0")/.."

PEER_START_TIMEOUT_S=60    # the peer gives up by itself after 20 s
PEER_STOP_TIMEOUT_S=30     # the peer ends its processes within 5 s each
DEMO_NAME=ok.quorlin.test  # the peer's dnsmasq answers it with A 192.0.2.10

install=1
case "${1-}" in
  "") ;;
  --no-install) install=0 ;;
  -h | --help) sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
  *) echo "demo: unknown option $1 (try --help)" >&2; exit 2 ;;
esac

step() { echo; echo "==> $*"; }

if [ "$(id -u)" -ne 0 ]; then
  echo "demo: run as root: the local peer needs a network namespace and a TUN device" >&2
  exit 1
fi

workdir=""
peer_pid=""
peer_in=""
peer_out=""

stop_peer() {
  # Closing the peer's stdin asks it to tear down; it may already be doing so
  # (a Ctrl-C reaches it too). Wait for it, but not forever.
  [ -n "$peer_pid" ] || return 0
  echo "==> stopping the peer"
  if [ -n "$peer_in" ]; then { exec {peer_in}>&-; } 2>/dev/null || true; fi
  local waited=0
  while kill -0 "$peer_pid" 2>/dev/null && ((waited < PEER_STOP_TIMEOUT_S * 10)); do
    sleep 0.1
    waited=$((waited + 1))
  done
  if kill -0 "$peer_pid" 2>/dev/null; then
    # SIGTERM still makes it tear down; only the wait was too long.
    kill -TERM "$peer_pid" 2>/dev/null || true
  fi
  wait "$peer_pid" 2>/dev/null || true
  if [ -n "$peer_out" ]; then { exec {peer_out}<&-; } 2>/dev/null || true; fi
  peer_pid=""
}

cleanup() {
  local status=$?
  trap - EXIT INT TERM HUP
  stop_peer
  if [ -n "$workdir" ]; then rm -rf -- "$workdir"; fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

if ((install)); then
  step "installing dependencies (scripts/install-deps.sh)"
  bash scripts/install-deps.sh
  step "building and installing quorlin (pip install .)"
  PIP_BREAK_SYSTEM_PACKAGES=1 python3 -m pip install --quiet --disable-pip-version-check --no-build-isolation .
fi

python=$(python3 -c 'import sys; print(sys.executable)')
quorlin=("$(dirname "$python")/quorlin")
[ -x "${quorlin[0]}" ] || quorlin=("$python" -m quorlin)
if ! "$python" -c 'import quorlin' 2>/dev/null; then
  echo "demo: the quorlin package is not installed for $python (run without --no-install)" >&2
  exit 1
fi

if ! reason=$("$python" -c 'import sys; sys.path.insert(0, "tests/peer"); import wgpeer
reason = wgpeer.unavailable_reason(); print(reason or ""); sys.exit(1 if reason else 0)'); then
  echo "demo: a local peer cannot run here: $reason" >&2
  exit 1
fi

workdir=$(mktemp -d -t quorlin-demo.XXXXXXXX)
chmod 700 "$workdir"
config="$workdir/wg-demo.conf"

step "starting a local WireGuard peer (wireguard-go and dnsmasq in a private network namespace)"
# The peer lives as long as its stdin stays open: should this script die
# without running its trap, the pipe closes and the peer still tears down.
coproc PEER { exec "$python" tests/peer/wgpeer.py serve; }
peer_pid=$PEER_PID
peer_out=${PEER[0]}
peer_in=${PEER[1]}

line=""
if ! read -r -t "$PEER_START_TIMEOUT_S" -u "$peer_out" line || [ -z "$line" ]; then
  echo "demo: the peer did not report within ${PEER_START_TIMEOUT_S} s" >&2
  exit 1
fi

# Writes the client's configuration (mode 0600) and prints the namespace and
# the peer's tunnel address. The peer's description, which holds the client's
# private key, goes through a pipe, never onto a command line.
IFS= read -r -d '' write_config <<'EOF' || true
import ipaddress, json, os, sys
info = json.loads(sys.stdin.readline())
if "error" in info:
    sys.exit("demo: the peer did not start: " + info["error"])
text = (
    "[Interface]\n"
    f"PrivateKey = {info['client_private_key']}\n"
    f"Address = {info['client_address']}\n"
    f"DNS = {info['dns_address']}\n"
    "\n"
    "[Peer]\n"
    f"PublicKey = {info['peer_public_key']}\n"
    f"Endpoint = {info['endpoint_ipv4']}\n"
    f"AllowedIPs = {ipaddress.ip_interface(info['tunnel_address']).network}\n"
)
flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC | os.O_NOFOLLOW
with os.fdopen(os.open(sys.argv[1], flags, 0o600), "w") as f:
    f.write(text)
print(info["namespace"], info["peer_tunnel_ip"])
EOF
namespace=""
peer_ip=""
read -r namespace peer_ip < <(printf '%s\n' "$line" | "$python" -c "$write_config" "$config") || true
if [ -z "$namespace" ] || [ ! -s "$config" ]; then
  echo "demo: could not write the client configuration" >&2
  exit 1
fi
echo "peer namespace: $namespace"
echo "peer tunnel address: $peer_ip, DNS name answered: $DEMO_NAME"
echo "client configuration: $config (mode 0600, removed at the end)"
sed 's/^PrivateKey = .*/PrivateKey = (hidden)/' "$config" | sed 's/^/    /'

probe=(ip netns exec "$namespace" "${quorlin[@]}" "$config" --ping "$peer_ip" --resolve "$DEMO_NAME")

step "quorlin $(basename "$config") --ping $peer_ip --resolve $DEMO_NAME   (inside the peer's namespace)"
table_status=0
"${probe[@]}" || table_status=$?
echo "(exit status $table_status)"

# The peer ignores a second initiation from one key within about 20 ms of the
# last, and the native command is done well within that.
sleep 0.1
step "the same probe with --json"
json_status=0
"${probe[@]}" --json || json_status=$?
echo "(exit status $json_status)"

if ((table_status != 0 || json_status != 0)); then
  echo "demo: the probe did not confirm the data plane (exit statuses $table_status, $json_status)" >&2
  exit 1
fi
