#!/usr/bin/env python3
"""The exporter's cost: scrape latency against the bare probe, idle RSS, a soak.

Needs root and the installed package (pip install .): a real WireGuard peer
(tests/peer/wgpeer.py) gets one client key per target, `quorlin exporter`
serves those targets inside the peer's namespace, and this script, joined to
the same namespace, measures:

- the median time of a handshake-only /probe scrape over HTTP, and over TLS
  from a second exporter with a web configuration file, against the median
  of the same probe made in process (quorlin.probe_file), interleaved in one
  run: the differences are the exporter's overhead, plain and over TLS;
- the exporter's RSS while idle, and with 1,000 idle connections held open
  (from sixteen loopback addresses, reopened as the exporter drops them),
  with the scrape latency beside them; then the same with 1,000 slow
  connections, each trickling a byte a second of a request it never ends,
  and the scrape latency beside those;
- a soak of N scrapes (default 10,000) from several client threads at the
  highest rate the machine allows, with the exporter's descriptors, threads
  and RSS printed before and after.

Figures only: it never fails on a time.

    python3 bench/exporter_bench.py [--samples 200] [--soak 10000] [--clients 8] [--targets 32] [--idle 1000]
"""

from __future__ import annotations

import argparse
import http.client
import os
import resource
import selectors
import socket
import ssl
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

import quorlin  # noqa: E402
from quorlin.__main__ import command_path  # noqa: E402

KEY_SPACING_S = 0.06  # the peer ignores a second initiation from one key within about 20 ms
START_TIMEOUT_S = 30.0


def write_fleet(folder: Path, info: dict, keys: list[str]) -> Path:
    lines = []
    for index, key in enumerate(keys):
        config = folder / f"k{index}.conf"
        fd = os.open(config, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        with os.fdopen(fd, "w") as f:
            f.write(f"[Interface]\nPrivateKey = {key}\n\n[Peer]\nPublicKey = {info['peer_public_key']}\n"
                    f"Endpoint = {info['endpoint_ipv4']}\nAllowedIPs = 10.99.0.0/24\n")
        lines.append(f'[[target]]\nname = "k{index}"\nconfig = "{config.name}"\n')
    fleet = folder / "fleet.toml"
    fleet.write_text("\n".join(lines))
    return fleet


def get(port: int, path: str, tls: ssl.SSLContext | None = None) -> tuple[float, int, bytes]:
    """Seconds for one GET, connection (and TLS handshake) included, with the status and body."""
    start = time.perf_counter()
    connection = (http.client.HTTPSConnection("127.0.0.1", port, timeout=30, context=tls) if tls
                  else http.client.HTTPConnection("127.0.0.1", port, timeout=30))
    try:
        connection.request("GET", path, headers={"X-Prometheus-Scrape-Timeout-Seconds": "10"})
        response = connection.getresponse()
        body = response.read()
    finally:
        connection.close()
    return time.perf_counter() - start, response.status, body


def scrape(port: int, target: str, tls: ssl.SSLContext | None = None) -> float:
    """Seconds for one /probe scrape, connection included."""
    elapsed, status, body = get(port, f"/probe?target={target}", tls)
    if status != 200 or b"\nprobe_success 1\n" not in body:
        raise RuntimeError(f"scrape of {target} failed: {status} {body[:200]!r}")
    return elapsed


def process_figures(pid: int) -> str:
    status = Path(f"/proc/{pid}/status").read_text()
    fields = dict(line.split(":", 1) for line in status.splitlines() if ":" in line)
    fds = len(os.listdir(f"/proc/{pid}/fd"))
    return f"fds {fds:4d}  threads {int(fields['Threads']):4d}  RSS {fields['VmRSS'].strip():>10}"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--samples", type=int, default=200)
    parser.add_argument("--soak", type=int, default=10_000)
    parser.add_argument("--clients", type=int, default=8)
    parser.add_argument("--targets", type=int, default=32)
    parser.add_argument("--idle", type=int, default=1000)
    args, _ = parser.parse_known_args()
    if reason := wgpeer.unavailable_reason():
        print(f"exporter benchmark skipped: {reason}")
        return 0
    command = command_path()
    if command is None:
        print("exporter benchmark skipped: the quorlin executable is not installed (pip install .)")
        return 0

    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, 4096)), hard))
    with wgpeer.WireGuardPeer(dns=False, extra_clients=args.targets) as peer, \
            tempfile.TemporaryDirectory() as folder:
        keys = [client["private_key"] for client in peer.info["extra_clients"]]
        fleet = write_fleet(Path(folder), peer.info, keys)
        web = write_tls_files(Path(folder))
        running = []
        try:
            plain = start_exporter(peer, command, fleet, args, running)
            tls = start_exporter(peer, command, fleet, args, running, "--web.config.file", str(web))
            context = ssl.create_default_context(cafile=str(Path(folder) / "server.crt"))
            with peer.entered():
                measure(peer, plain, (tls[0], tls[1], context), Path(folder), args)
        finally:
            for exporter in running:
                exporter.terminate()
                try:
                    exporter.wait(timeout=START_TIMEOUT_S)
                except subprocess.TimeoutExpired:
                    exporter.kill()
                    exporter.wait(timeout=START_TIMEOUT_S)
    return 0


def write_tls_files(folder: Path) -> Path:
    """A self-signed certificate for 127.0.0.1 and a web configuration file serving it."""
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                    "-keyout", "server.key", "-out", "server.crt", "-days", "2", "-subj", "/CN=127.0.0.1",
                    "-addext", "subjectAltName=IP:127.0.0.1"], cwd=folder, check=True, capture_output=True, timeout=30)
    web = folder / "web.yml"
    web.write_text("tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n")
    return web


def start_exporter(peer, command: str, fleet: Path, args, running: list, *extra: str) -> tuple[int, int]:
    """(pid, port) of an exporter started in the peer's namespace and added to `running`."""
    exporter = subprocess.Popen(
        ["ip", "netns", "exec", peer.namespace, command, "exporter", "--fleet", str(fleet),
         "--listen", "127.0.0.1:0", "--concurrency", str(max(args.clients, 1)), *extra],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    running.append(exporter)
    first = exporter.stderr.readline()  # bounded: the exporter logs or exits at once
    if "127.0.0.1:" not in first:
        raise RuntimeError(f"the exporter did not start: {first!r}")
    return exporter.pid, int(first.split("127.0.0.1:")[1].split(",")[0])


# The exporter caps the connections without a complete request per client
# address (64): 1,000 of them come from sixteen addresses.
SOURCE_ADDRESSES = 16
# What a slow connection sends first, then a byte a second: a request head it never ends.
SLOW_OPENING = b"GET /probe?target=k0 HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: "


class IdleConnections:
    """`count` connections that send nothing or, when `slow`, trickle a request
    head a byte a second, from sixteen loopback addresses, reopened as they are
    dropped."""

    def __init__(self, peer, port: int, count: int, slow: bool = False):
        self.peer, self.port, self.count, self.slow = peer, port, count, slow
        self.stop = threading.Event()
        self.selector = selectors.DefaultSelector()
        self.thread = threading.Thread(target=self._hold, daemon=True)

    def _open(self, number: int) -> None:
        connection = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        connection.bind((f"127.0.0.{2 + number % SOURCE_ADDRESSES}", 0))
        connection.connect(("127.0.0.1", self.port))
        if self.slow:
            connection.sendall(SLOW_OPENING)
        connection.setblocking(False)
        self.selector.register(connection, selectors.EVENT_READ, number)

    def _hold(self) -> None:
        with self.peer.entered():
            for number in range(self.count):
                self._open(number)
            self.ready.set()
            last_byte = time.monotonic()
            while not self.stop.is_set():
                for key, _ in self.selector.select(timeout=0.1):
                    self.selector.unregister(key.fileobj)
                    key.fileobj.close()
                    self._open(key.data)
                if self.slow and time.monotonic() - last_byte >= 1:
                    last_byte = time.monotonic()
                    for key in list(self.selector.get_map().values()):
                        try:
                            key.fileobj.send(b"x")
                        except OSError:
                            pass  # dropped: the next select finds it
        for key in list(self.selector.get_map().values()):
            key.fileobj.close()
        self.selector.close()

    def __enter__(self) -> "IdleConnections":
        self.ready = threading.Event()
        self.thread.start()
        if not self.ready.wait(START_TIMEOUT_S):
            raise RuntimeError("the idle connections did not open in time")
        return self

    def __exit__(self, *exc) -> None:
        self.stop.set()
        self.thread.join(START_TIMEOUT_S)


def measure(peer: wgpeer.WireGuardPeer, plain: tuple[int, int], tls: tuple, folder: Path, args) -> None:
    pid, port = plain
    time.sleep(0.5)
    print(f"exporter idle: {process_figures(pid)}")

    # Scrapes (plain, TLS) and bare probe of one target, interleaved, spaced for the peer.
    scrapes, tls_scrapes, bare, healthy = [], [], [], []
    config = folder / "k0.conf"
    for _ in range(args.samples):
        healthy.append(get(port, "/-/healthy")[0])
        scrapes.append(scrape(port, "k0"))
        time.sleep(KEY_SPACING_S)
        tls_scrapes.append(scrape(tls[1], "k0", tls[2]))
        time.sleep(KEY_SPACING_S)
        start = time.perf_counter()
        report = quorlin.probe_file(config)
        bare.append(time.perf_counter() - start)
        if report.verdict != "authentication_confirmed":
            raise RuntimeError(f"bare probe failed: {report.verdict}")
        time.sleep(KEY_SPACING_S)
    median_bare = statistics.median(bare)
    print(f"handshake-only probe, {args.samples} samples each, interleaved")
    print(f"  bare probe (in process)      median {median_bare * 1e3:8.3f} ms")
    for name, times in [("over HTTP", scrapes), ("over TLS ", tls_scrapes)]:
        median = statistics.median(times)
        print(f"  /probe scrape {name}      median {median * 1e3:8.3f} ms   overhead {(median - median_bare) * 1e3:8.3f} ms"
              f"   (scrape / bare {median / median_bare:.2f})")
    # What any request costs here, a new connection and this Python client
    # included: a scale for the overhead above.
    print(f"  /-/healthy round trip        median {statistics.median(healthy) * 1e3:8.3f} ms"
          "   (connection and client included)")

    # Idle connections beside the scrapes.
    with IdleConnections(peer, port, args.idle):
        time.sleep(0.5)
        print(f"with {args.idle} idle connections: {process_figures(pid)}")
        beside = []
        for _ in range(min(args.samples, 50)):
            beside.append(scrape(port, "k0"))
            time.sleep(KEY_SPACING_S)
        print(f"  /probe scrape beside them    median {statistics.median(beside) * 1e3:8.3f} ms"
              f"   (without: {statistics.median(scrapes) * 1e3:.3f} ms)")
    time.sleep(0.5)
    print(f"after they closed: {process_figures(pid)}")

    # Slow connections beside the scrapes: an attacker trickling bytes to hold connections.
    with IdleConnections(peer, port, args.idle, slow=True):
        time.sleep(0.5)
        print(f"with {args.idle} slow connections: {process_figures(pid)}")
        beside_slow = []
        for _ in range(min(args.samples, 50)):
            beside_slow.append(scrape(port, "k0"))
            time.sleep(KEY_SPACING_S)
        slow_median, idle_median = statistics.median(beside_slow), statistics.median(beside)
        print(f"  /probe scrape beside them    median {slow_median * 1e3:8.3f} ms"
              f"   (beside idle ones: {idle_median * 1e3:.3f} ms, difference {(slow_median - idle_median) * 1e3:+.3f} ms)")
    time.sleep(0.5)
    print(f"after they closed: {process_figures(pid)}")

    # Soak: every client thread scrapes the targets in turn.
    print(f"soak: {args.soak} scrapes from {args.clients} clients over {args.targets} targets")
    print(f"  before: {process_figures(pid)}")
    counter = iter(range(args.soak))
    lock = threading.Lock()
    failures = []

    def client() -> None:
        with peer.entered():
            while True:
                with lock:
                    number = next(counter, None)
                if number is None:
                    return
                try:
                    scrape(port, f"k{number % args.targets}")
                except (OSError, RuntimeError) as error:
                    failures.append(str(error))

    start = time.perf_counter()
    threads = [threading.Thread(target=client) for _ in range(args.clients)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    wall = time.perf_counter() - start
    time.sleep(0.5)
    print(f"  after:  {process_figures(pid)}")
    print(f"  {args.soak / wall:.0f} scrapes/s over {wall:.1f} s, {len(failures)} failed"
          + (f" (first: {failures[0]})" if failures else ""))


if __name__ == "__main__":
    sys.exit(main())
