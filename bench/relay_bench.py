#!/usr/bin/env python3
"""How much the test relay (tests/peer/relay.py) carries with a delay each way.

Runs the relay on this namespace's loopback in front of an echo socket (no
peer, no root), offers datagrams at rising rates and prints, per rate, the
share that came back and the round trip time added beyond the configured
delays (median and p99). Figures only: it never fails on a time.

    python3 bench/relay_bench.py [--delay-ms 50] [--seconds 2] [--rates 1000 2000 5000 10000]
"""

from __future__ import annotations

import argparse
import json
import socket
import statistics
import struct
import subprocess
import sys
import threading
import time
from pathlib import Path

RELAY = Path(__file__).resolve().parents[1] / "tests" / "peer" / "relay.py"
PAYLOAD_BYTES = 128  # a small transport message
DRAIN_S = 1.0


def echo(sock: socket.socket, stop: threading.Event) -> None:
    sock.settimeout(0.2)
    while not stop.is_set():
        try:
            datagram, source = sock.recvfrom(65535)
        except socket.timeout:
            continue
        sock.sendto(datagram, source)


def offer(relay: tuple[str, int], rate: int, seconds: float) -> tuple[int, list[float]]:
    """Sends `rate` datagrams a second, paced per millisecond; (sent, round trips in s)."""
    client = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    client.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
    client.connect(relay)
    client.setblocking(False)
    round_trips, sent = [], 0
    start = time.monotonic()
    end = start + seconds
    padding = bytes(PAYLOAD_BYTES - 8)
    while True:
        now = time.monotonic()
        due = min(int((now - start) * rate), int(seconds * rate))
        while sent < due:
            client.send(struct.pack("<d", time.monotonic()) + padding)
            sent += 1
        try:
            while True:
                datagram = client.recv(65535)
                round_trips.append(time.monotonic() - struct.unpack_from("<d", datagram)[0])
        except BlockingIOError:
            pass
        if now > end + DRAIN_S:
            break
        time.sleep(0.0005)
    client.close()
    return sent, round_trips


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--delay-ms", type=int, default=50)
    parser.add_argument("--seconds", type=float, default=2.0)
    parser.add_argument("--rates", type=int, nargs="+", default=[1000, 2000, 5000, 10000])
    args = parser.parse_args()

    sink = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sink.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
    sink.bind(("127.0.0.1", 0))
    stop = threading.Event()
    echoer = threading.Thread(target=echo, args=(sink, stop), daemon=True)
    echoer.start()
    faults = json.dumps({"delay_ms": args.delay_ms})
    relay = subprocess.Popen([sys.executable, str(RELAY), "serve", "--peer", "127.0.0.1:%d" % sink.getsockname()[1],
                              "--to-peer", faults, "--to-client", faults],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        ready = json.loads(relay.stdout.readline())
        host, port = ready["endpoint"].rsplit(":", 1)
        print(f"relay with {args.delay_ms} ms each way, {PAYLOAD_BYTES}-byte datagrams, "
              f"{args.seconds:g} s per rate")
        print(f"{'offered/s':>10} {'returned':>9} {'added median ms':>16} {'added p99 ms':>13}")
        for rate in args.rates:
            sent, round_trips = offer((host, int(port)), rate, args.seconds)
            added = sorted(1000 * rtt - 2 * args.delay_ms for rtt in round_trips)
            median = statistics.median(added) if added else float("nan")
            p99 = added[int(0.99 * (len(added) - 1))] if added else float("nan")
            print(f"{rate:>10} {len(round_trips) / max(sent, 1):>9.1%} {median:>16.2f} {p99:>13.2f}")
        relay.stdin.write("stats\n")
        relay.stdin.flush()
        stats = json.loads(relay.stdout.readline())
        print("relay send errors:", stats["to_peer"]["send_errors"] + stats["to_client"]["send_errors"])
    finally:
        relay.stdin.close()
        try:
            relay.wait(timeout=5)
        except subprocess.TimeoutExpired:
            relay.kill()
            relay.wait()
        stop.set()
        echoer.join(timeout=5)
        sink.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
