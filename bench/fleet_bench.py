#!/usr/bin/env python3
"""`quorlin fleet` against real peers at a distance: wall time against the ideal, CPU, peak RSS.

Four wireguard-go peers (tests/peer/wgpeer.py), each alone in a network
namespace with 128 client keys of its own: 512 distinct targets. In front of
each peer a relay (tests/peer/relay.py) delays every datagram 50 ms each way.
The command runs in a namespace of the benchmark's own, joined to each peer's
namespace by a veth pair with documentation addresses (198.51.100.0/24):
nothing touches the host's interfaces, nothing leaves the machine. Each
target is a handshake and one ping through the tunnel.

For each concurrency it prints the wall time of the whole fleet against the
ideal (targets / concurrency x one probe's time at that latency, the median
probe of the concurrency-1 run), when the first result came (the fleet file
read and checked, then one probe), the median and slowest probe at that
concurrency in ms (the peers and relays share the machine), the CPU time per probe and the peak RSS
of the command, the machine's load as the run began (1-minute average: other work
on the machine, and the threads of the run before, which decay from it within
minutes), and at the end the RSS growth per concurrent probe. Under each run, every failed phase
seen, counted by verdict, phase, status and detail, and how many probes took
longer than their overall deadline (5000 ms). Concurrency 1
probes only the first --serial-targets targets (512 one after another would
take minutes). Figures only: it never fails on a time. Needs root.

Each run takes its key turns in an empty turn folder of its own (the command's
XDG_RUNTIME_DIR points into the benchmark's temporary folder), so a run never
finds the lock files of the one before, nor meets other runs of the machine
in /run/quorlin; `--turn-folder kept` gives every run the same one instead
(run a concurrency twice to see the second find its files present).

    python3 bench/fleet_bench.py [--quorlin PATH] [--peers 4] [--keys-per-peer 128]
                                 [--delay-ms 50] [--concurrency 1 64 256] [--serial-targets 32]
                                 [--turn-folder fresh|kept] [--keep-reports FOLDER]

--keep-reports writes each run's JSON lines to FOLDER/concurrency-N.jsonl, to
look into the failures and slow probes after the run.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import secrets
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "peer"))
import wgpeer  # noqa: E402
from relay import Faults, UdpRelay  # noqa: E402

LINK_NETWORK = "198.51.100"  # one /30 per peer: .4k+1 on our side, .4k+2 on the peer's
PEER_TUNNEL_NETWORK = str(wgpeer.TUNNEL.network)
RSS_SAMPLE_S = 0.002
DEADLINE_MS = 5000  # each probe's overall deadline in the fleet file


def run(argv: list[str]) -> None:
    subprocess.run(argv, check=True, capture_output=True, timeout=60)


@contextlib.contextmanager
def bench_namespace():
    name = f"qfleet-{os.getpid()}-{secrets.token_hex(4)}"
    run(["ip", "netns", "add", name])
    try:
        run(["ip", "-n", name, "link", "set", "lo", "up"])
        yield name
    finally:
        # The veth pairs go with it.
        subprocess.run(["ip", "netns", "delete", name], capture_output=True, timeout=60)


def link_to(namespace: str, peer: wgpeer.WireGuardPeer, k: int) -> str:
    """A veth pair from our namespace to the peer's; the peer side's address."""
    ours, theirs = f"{LINK_NETWORK}.{4 * k + 1}", f"{LINK_NETWORK}.{4 * k + 2}"
    run(["ip", "-n", namespace, "link", "add", f"qfb{k}", "type", "veth", "peer", "name", f"qfp{k}",
         "netns", peer.namespace])
    run(["ip", "-n", namespace, "address", "add", f"{ours}/30", "dev", f"qfb{k}"])
    run(["ip", "-n", peer.namespace, "address", "add", f"{theirs}/30", "dev", f"qfp{k}"])
    run(["ip", "-n", namespace, "link", "set", f"qfb{k}", "up"])
    run(["ip", "-n", peer.namespace, "link", "set", f"qfp{k}", "up"])
    return theirs


def write_fleet(path: Path, targets: list[dict]) -> None:
    lines = ["[defaults]", "handshake_timeout_ms = 2000", "ping_timeout_ms = 1000", f"deadline_ms = {DEADLINE_MS}",
             f'allowed_ips = ["{PEER_TUNNEL_NETWORK}"]', f'ping = ["{wgpeer.TUNNEL.ip}"]', ""]
    for target in targets:
        lines += ["[[target]]", f'name = "{target["name"]}"', f'private_key_file = "{target["key_file"]}"',
                  f'peer_key = "{target["peer_key"]}"', f'endpoint = "{target["endpoint"]}"',
                  f'address = "{target["address"]}"', ""]
    path.write_text("\n".join(lines))


def targets_for(peers, endpoints, folder: Path) -> list[dict]:
    """Every client key of every peer, taking the peers in turn."""
    targets = []
    for i in range(len(peers[0].info["extra_clients"])):
        for k, peer in enumerate(peers):
            client = peer.info["extra_clients"][i]
            key_file = folder / f"p{k}-c{i}.key"
            fd = os.open(key_file, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
            with os.fdopen(fd, "w") as f:
                f.write(client["private_key"] + "\n")
            targets.append({"name": f"p{k}-c{i}", "key_file": key_file.name,
                            "peer_key": peer.info["peer_public_key"], "endpoint": endpoints[k],
                            "address": client["address"]})
    return targets


def peak_rss_kib(pid: int, done: threading.Event, peak: list[int]) -> None:
    """Samples the process's own high-water mark (VmHWM) until it ends.

    The rusage of a child counts the memory of the process it was forked
    from (this interpreter) as well, so it cannot tell the command's peak.
    """
    while not done.is_set():
        with contextlib.suppress(OSError, ValueError):
            for line in Path(f"/proc/{pid}/status").read_text().splitlines():
                if line.startswith("VmHWM:"):
                    peak[0] = max(peak[0], int(line.split()[1]))
        time.sleep(RSS_SAMPLE_S)


def run_fleet(quorlin: str, namespace: str, fleet: Path, concurrency: int, runtime: Path) -> dict:
    """One run of the command as its own process, its turn folder under `runtime`; its figures and verdicts."""
    started = time.monotonic()
    process = subprocess.Popen(["ip", "netns", "exec", namespace, quorlin, "fleet", str(fleet), "--json",
                                "--concurrency", str(concurrency)], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               env={**os.environ, "XDG_RUNTIME_DIR": str(runtime)})
    done, peak = threading.Event(), [0]
    sampler = threading.Thread(target=peak_rss_kib, args=(process.pid, done, peak))
    sampler.start()
    try:
        first_line = process.stdout.readline()
        first_result_s = time.monotonic() - started
        out = first_line + process.stdout.read()
        err = process.stderr.read()
        # `ip netns exec` becomes the command: the CPU time is the command's.
        _, status, usage = os.wait4(process.pid, 0)
        process.returncode = os.waitstatus_to_exitcode(status)
    finally:
        done.set()
        sampler.join()
        if process.returncode is None:
            process.kill()
            process.wait()
    wall = time.monotonic() - started
    reports = [json.loads(line)["report"] for line in out.decode().splitlines()]
    verdicts: dict[str, int] = {}
    failures: dict[str, int] = {}
    for report in reports:
        verdicts[report["verdict"]] = verdicts.get(report["verdict"], 0) + 1
        for phase in report["phases"]:
            if phase["status"] in ("error", "unconfirmed"):
                what = f'{report["verdict"]}: {phase["phase"]} {phase["status"]}: {phase["detail"]}'
                failures[what] = failures.get(what, 0) + 1
    return {"wall_s": wall, "first_result_s": first_result_s, "status": process.returncode, "stderr": err.decode().strip(),
            "cpu_s": usage.ru_utime + usage.ru_stime, "max_rss_kib": peak[0], "verdicts": verdicts,
            "failures": failures, "durations_ms": [report["duration_ms"] for report in reports], "out": out}


def find_quorlin(given: str | None) -> str:
    for candidate in ([given] if given else []) + [str(Path(sys.executable).with_name("quorlin")),
                                                   str(ROOT / "build" / "bench" / "native" / "command" / "quorlin")]:
        if candidate and os.access(candidate, os.X_OK):
            return candidate
    sys.exit("fleet_bench: no quorlin executable found (pass --quorlin PATH)")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quorlin")
    parser.add_argument("--peers", type=int, default=4)
    parser.add_argument("--keys-per-peer", type=int, default=128)
    parser.add_argument("--delay-ms", type=int, default=50)
    parser.add_argument("--concurrency", type=int, nargs="+", default=[1, 64, 256])
    parser.add_argument("--serial-targets", type=int, default=32)
    parser.add_argument("--turn-folder", choices=["fresh", "kept"], default="fresh")
    parser.add_argument("--keep-reports", type=Path)
    args, _ = parser.parse_known_args()  # scripts/bench.sh hands every benchmark the same arguments

    reason = wgpeer.unavailable_reason()
    if reason:
        print(f"fleet benchmark skipped: {reason}")
        return 0
    quorlin = find_quorlin(args.quorlin)
    delay = Faults(delay_ms=args.delay_ms)
    with contextlib.ExitStack() as stack:
        folder = Path(stack.enter_context(tempfile.TemporaryDirectory(prefix="quorlin-fleet-bench-")))
        peers = [stack.enter_context(wgpeer.WireGuardPeer(dns=False, extra_clients=args.keys_per_peer))
                 for _ in range(args.peers)]
        namespace = stack.enter_context(bench_namespace())
        endpoints = []
        for k, peer in enumerate(peers):
            address = link_to(namespace, peer, k)
            relay = stack.enter_context(UdpRelay(peer, to_peer=delay, to_client=delay, listen=f"{address}:0"))
            endpoints.append(relay.endpoint)
        targets = targets_for(peers, endpoints, folder)
        write_fleet(folder / "fleet.toml", targets)
        write_fleet(folder / "serial.toml", targets[:args.serial_targets])

        print(f"fleet of {len(targets)} targets ({args.peers} wireguard-go peers x {args.keys_per_peer} client keys), "
              f"{args.delay_ms} ms each way through a relay; each target a handshake and one ping")
        print(f"{'concurrency':>11} {'targets':>7} {'wall s':>8} {'ideal s':>8} {'wall/ideal':>10} "
              f"{'first s':>8} {'probe ms':>8} {'slowest':>8} {'probes/s':>9} {'CPU ms/probe':>12} {'peak RSS MiB':>12} {'load':>5}  verdicts")
        one_probe_s = None
        rss = {}
        for run_index, concurrency in enumerate(args.concurrency):
            fleet = folder / ("serial.toml" if concurrency == 1 else "fleet.toml")
            count = min(args.serial_targets, len(targets)) if concurrency == 1 else len(targets)
            runtime = folder / f"runtime-{0 if args.turn_folder == 'kept' else run_index}"
            runtime.mkdir(mode=0o700, exist_ok=True)
            load = os.getloadavg()[0]
            result = run_fleet(quorlin, namespace, fleet, concurrency, runtime)
            if args.keep_reports:
                args.keep_reports.mkdir(parents=True, exist_ok=True)
                (args.keep_reports / f"concurrency-{concurrency}.jsonl").write_bytes(result["out"])
            if result["status"] not in (0, 1, 2):
                print(f"  the run at concurrency {concurrency} failed ({result['status']}): {result['stderr']}")
                continue
            if one_probe_s is None and result["durations_ms"]:
                one_probe_s = statistics.median(result["durations_ms"]) / 1000
            ideal = count / concurrency * one_probe_s if one_probe_s else float("nan")
            rss[concurrency] = result["max_rss_kib"]
            verdicts = ", ".join(f"{n} {v}" for v, n in sorted(result["verdicts"].items()))
            probe_ms = statistics.median(result["durations_ms"]) if result["durations_ms"] else float("nan")
            print(f"{concurrency:>11} {count:>7} {result['wall_s']:>8.2f} {ideal:>8.2f} "
                  f"{result['wall_s'] / ideal:>10.2f} {result['first_result_s']:>8.2f} {probe_ms:>8.0f} "
                  f"{max(result['durations_ms'], default=0):>8} "
                  f"{count / result['wall_s']:>9.1f} "
                  f"{1000 * result['cpu_s'] / count:>12.3f} {result['max_rss_kib'] / 1024:>12.1f} "
                  f"{load:>5.1f}  {verdicts}")
            for what, n in sorted(result["failures"].items(), key=lambda item: -item[1]):
                print(f"{'':>11} {n:>7} x {what}")
            late = sum(1 for ms in result["durations_ms"] if ms > DEADLINE_MS)
            if late:
                print(f"{'':>11} {late:>7} x a probe that took longer than its {DEADLINE_MS} ms deadline")
        if one_probe_s:
            print(f"one probe at this latency (median at concurrency 1): {1000 * one_probe_s:.0f} ms")
        low = min(rss, default=None)
        for concurrency in sorted(rss):
            if concurrency != low:
                growth = (rss[concurrency] - rss[low]) / (concurrency - low)
                print(f"RSS growth per concurrent probe, {low} -> {concurrency}: {growth:.0f} KiB")
        if 1 in args.concurrency:
            print(f"(concurrency 1 probes the first {min(args.serial_targets, len(targets))} targets only)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
