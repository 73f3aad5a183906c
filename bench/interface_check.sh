#!/usr/bin/env bash
# The interface-based check that command_bench.sh times against quorlin: a
# userspace WireGuard client interface up, configured, one ping through it,
# and down again. wireguard-go stays this script's child, so its CPU time is
# counted with the script's.
#
#   interface_check.sh IFNAME KEY_FILE PEER_PUBLIC_KEY ENDPOINT CLIENT_CIDR PEER_TUNNEL_IP
set -euo pipefail
name=$1 key_file=$2 peer_key=$3 endpoint=$4 address=$5 target=$6
SOCKET_WAIT_STEPS=5000   # 1 ms each

WG_PROCESS_FOREGROUND=1 wireguard-go "$name" >/dev/null 2>&1 &
wg_pid=$!
trap 'ip link delete "$name" 2>/dev/null || true; wait "$wg_pid" 2>/dev/null || true' EXIT
steps=0
until [ -S "/var/run/wireguard/$name.sock" ]; do
  ((++steps < SOCKET_WAIT_STEPS)) || { echo "wireguard-go did not start" >&2; exit 1; }
  sleep 0.001
done
wg set "$name" private-key "$key_file" peer "$peer_key" endpoint "$endpoint" allowed-ips "${target%.*}.0/24"
ip address add "$address" dev "$name"
ip link set "$name" up
ip route add "${target%.*}.0/24" dev "$name"
ping -c 1 -W 2 -q "$target" >/dev/null
