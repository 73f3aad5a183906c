#!/usr/bin/env bash
# Builds and runs the benchmarks in bench/ (optimised build). They print
# figures and ratios and never fail on a time. The WireGuard engine figures
# need nothing; the probe and fleet figures against real local WireGuard
# peers need root, and without it only the others are printed. Against that
# peer, probe_bench also times the TCP, TLS and HTTP checks through the tunnel
# (servers in the peer's namespace, a certificate made by openssl) against
# their round trips, a TLS check's CPU against openssl's own handshake
# (openssl s_time, 5 s) and the quorlin command's peak RSS with one https check.
# The command benchmark runs the quorlin executable against an interface-based
# check on the same peer (bench/command_bench.sh; root too).
# The exporter benchmark (bench/exporter_bench.py) scrapes the installed
# quorlin exporter; without root or the package it says so and skips.
# Arguments go to every benchmark, each reading the ones it uses, e.g.
#   bash scripts/bench.sh --probes 1000 --samples 100 --handshakes 5000 --packets 500000
# The fleet benchmark's own options: run python3 bench/fleet_bench.py --help.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
# The command benchmark and probe_bench's memory figure need these: they time
# whole processes, and the interface-based check pings through its interface.
BENCH_PACKAGES=(hyperfine iputils-ping time)
missing=()
for p in "${BENCH_PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})) && [ "$(id -u)" -eq 0 ]; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}" >/dev/null
fi

cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORLIN_BUILD_BENCH=ON >/dev/null
cmake --build build/bench --target wireguard_bench probe_bench quorlin -j "$(nproc)"
echo
build/bench/bench/wireguard_bench "$@"
echo
build/bench/bench/probe_bench "$@"
echo
bash bench/command_bench.sh build/bench/native/command/quorlin
echo
python3 bench/fleet_bench.py --quorlin build/bench/native/command/quorlin "$@"
echo
# The exporter against a real peer: needs root and the installed package.
python3 bench/exporter_bench.py "$@"
