"""Probes through the module against a real WireGuard peer: wireguard-go and
dnsmasq in a network namespace of their own (tests/peer/wgpeer.py).

The peer answers on its namespace's loopback, so the calling thread joins that
namespace (`entered()`: a network namespace belongs to a thread, so every
worker thread joins it by itself) and calls the module in-process. Endpoints
are literal addresses: the namespace's hosts file is only mounted under
`ip netns exec`, which is how the command's tests run. wireguard-go ignores a
second initiation from one key within 20 ms, so probes that share a key are
spaced apart and probes at the same time use a key each.
"""

from __future__ import annotations

import json
import subprocess
import threading
import time

from conftest import REPORT_KEYS
import quorlin
from real_peer import ALLOWED_IPS, UNANSWERED, client_config, needs_peer, wgpeer

pytestmark = needs_peer

THREAD_JOIN_S = 60.0
AUTHENTICATED = "authenticated WireGuard response"
KEEPALIVE_SENT = "initial encrypted keepalive sent; no acknowledgement expected"
MATCHED = "valid matching reply"
NO_REPLY = "no valid matching reply before the check deadline"
PHASE_FIELDS = ["phase", "target", "status", "duration_ms", "sent_bytes", "received_bytes", "detail"]



def rows(report) -> list[tuple]:
    return [(p.phase, p.target, p.status, p.detail) for p in report.phases]


def check_consistent(report) -> None:
    """The report's JSON agrees with its attributes, keys in schema order, totals add up."""
    document = json.loads(report.to_json())
    assert list(document) == REPORT_KEYS
    assert [document[key] for key in REPORT_KEYS[:-1]] == [getattr(report, key) for key in REPORT_KEYS[:-1]]
    for phase, element in zip(report.phases, document["phases"], strict=True):
        # absent target and detail are left out, never null
        assert list(element) == [f for f in PHASE_FIELDS if getattr(phase, f) is not None]
        assert element == {f: getattr(phase, f) for f in PHASE_FIELDS if getattr(phase, f) is not None}
        assert json.loads(phase.to_json()) == element
    assert report.sent_bytes == sum(p.sent_bytes for p in report.phases)
    assert report.received_bytes == sum(p.received_bytes for p in report.phases)


def test_probe_file_confirms_the_data_plane(peer, prober, tmp_path):
    info = peer.info
    endpoints = [info["endpoint_ipv4"]] + ([info["endpoint_ipv6"]] if info["endpoint_ipv6"] else [])
    for endpoint in endpoints:
        config = client_config(tmp_path, info, name=f"wg-{len(endpoint)}.conf", endpoint=endpoint)
        report = prober.file(config, ping=[info["peer_tunnel_ip"]],
                             resolve=["ok.quorlin.test", "two.quorlin.test", "empty.quorlin.test"])
        local = report.local_udp_address
        assert local.startswith("127.0.0.1:" if endpoint.startswith("127.") else "[::1]:")
        assert (report.verdict, report.endpoint, report.resolved_endpoint, report.client_public_key) == \
            ("data_plane_confirmed", endpoint, endpoint, info["client_public_key"])
        assert rows(report) == [
            ("endpoint_resolution", endpoint, "passed", None),
            ("socket", local, "passed", "single connected UDP socket"),
            ("handshake", endpoint, "passed", AUTHENTICATED),
            ("keepalive", endpoint, "sent", KEEPALIVE_SENT),
            ("ping", "10.99.0.1", "passed", MATCHED),
            ("dns", "ok.quorlin.test via 10.99.0.1", "passed", "valid DNS response; A records: 192.0.2.10"),
            ("dns", "two.quorlin.test via 10.99.0.1", "passed",
             "valid DNS response; A records: 192.0.2.1, 192.0.2.2"),
            ("dns", "empty.quorlin.test via 10.99.0.1", "passed", "valid DNS response; A records: none"),
        ]
        # Counts are encrypted datagrams on the socket: initiation 148, response
        # 92, keepalive 32; a 36-byte echo padded to 48, plus 32 bytes of
        # header and tag, each way.
        counts = [(p.sent_bytes, p.received_bytes) for p in report.phases[:5]]
        assert counts == [(0, 0), (0, 0), (148, 92), (32, 0), (80, 80)]
        assert all(p.sent_bytes % 16 == 0 and p.received_bytes % 16 == 0 for p in report.phases[5:])
        check_consistent(report)


def test_probe_key_file_confirms_the_data_plane(peer, prober, tmp_path):
    info = peer.info
    key = tmp_path / "client.key"
    key.write_text(info["client_private_key"] + "\n")
    key.chmod(0o600)
    endpoint = info["endpoint_ipv4"]
    report = prober.key_file(key, info["peer_public_key"], endpoint, address=info["client_address"],
                             allowed_ips=[ALLOWED_IPS], dns_server=info["dns_address"],
                             ping=[info["peer_tunnel_ip"]], resolve=["ok.quorlin.test"])
    assert report.verdict == "data_plane_confirmed"
    assert report.client_public_key == info["client_public_key"]
    assert rows(report)[2:] == [
        ("handshake", endpoint, "passed", AUTHENTICATED),
        ("keepalive", endpoint, "sent", KEEPALIVE_SENT),
        ("ping", "10.99.0.1", "passed", MATCHED),
        ("dns", "ok.quorlin.test via 10.99.0.1", "passed", "valid DNS response; A records: 192.0.2.10"),
    ]
    check_consistent(report)

    # Without an address there are no data checks: authentication alone.
    report = prober.key_file(key, info["peer_public_key"], endpoint)
    assert report.verdict == "authentication_confirmed"
    assert [p.phase for p in report.phases] == ["endpoint_resolution", "socket", "handshake", "keepalive"]


def test_unanswered_checks_beside_one_that_passes(peer, prober, tmp_path):
    info = peer.info
    report = prober.file(client_config(tmp_path, info), ping=[UNANSWERED, "10.99.0.1"], resolve=["ok.quorlin.test"],
                         dns_server=UNANSWERED, ping_timeout_ms=300, dns_timeout_ms=300)
    # one passing check is enough, whatever its place among the others
    assert report.verdict == "data_plane_confirmed"
    assert rows(report)[4:] == [("ping", UNANSWERED, "unconfirmed", NO_REPLY), ("ping", "10.99.0.1", "passed", MATCHED),
                                ("dns", f"ok.quorlin.test via {UNANSWERED}", "unconfirmed", NO_REPLY)]
    # a request that goes unanswered was still sent, once
    for phase in report.phases[4:]:
        assert phase.sent_bytes > 0
        assert (phase.received_bytes == 0) == (phase.status == "unconfirmed")
    check_consistent(report)


def _add_clients(peer: wgpeer.WireGuardPeer, count: int) -> list[tuple[str, str]]:
    """More clients on the same peer, each with its own key and /32: (private key, address)."""
    clients = []
    for index in range(count):
        private = subprocess.run(["wg", "genkey"], capture_output=True, text=True, check=True,
                                 timeout=15).stdout.strip()
        public = subprocess.run(["wg", "pubkey"], input=private + "\n", capture_output=True, text=True,
                                check=True, timeout=15).stdout.strip()
        address = f"10.99.0.{10 + index}"
        subprocess.run(["ip", "netns", "exec", peer.namespace, "wg", "set", peer.interface,
                        "peer", public, "allowed-ips", f"{address}/32"],
                       capture_output=True, text=True, check=True, timeout=15)
        clients.append((private, f"{address}/32"))
    return clients


def test_eight_threads_probe_at_once(tmp_path):
    # Each run waits out a 1.5 s ping timeout (an address nobody answers) after
    # a ping that passes. Had the runs not overlapped, the wall time would be
    # at least the sum of their durations; released interpreter lock or not,
    # the bound below is generous either way.
    count, wait_ms = 8, 1500
    with wgpeer.WireGuardPeer(dns=False) as shared:
        info = shared.info
        configs = [client_config(tmp_path, info, name=f"client{i}.conf", private_key=private, address=address)
                   for i, (private, address) in enumerate(_add_clients(shared, count))]
        barrier = threading.Barrier(count + 1, timeout=THREAD_JOIN_S)
        reports: list = [None] * count
        errors: list = []

        def worker(index: int) -> None:
            try:
                with shared.entered():
                    barrier.wait()
                    reports[index] = quorlin.probe_file(configs[index], ping=[info["peer_tunnel_ip"], UNANSWERED],
                                                        ping_timeout_ms=wait_ms)
            except BaseException as error:  # reported by the main thread
                errors.append(error)

        threads = [threading.Thread(target=worker, args=(i,), name=f"probe-{i}") for i in range(count)]
        for thread in threads:
            thread.start()
        barrier.wait()
        started = time.monotonic()
        for thread in threads:
            thread.join(timeout=THREAD_JOIN_S)
        wall_ms = (time.monotonic() - started) * 1000
        assert not any(thread.is_alive() for thread in threads)
        assert not errors, errors

    assert [r.verdict for r in reports] == ["data_plane_confirmed"] * count
    assert all(rows(r)[4:] == [("ping", "10.99.0.1", "passed", MATCHED), ("ping", UNANSWERED, "unconfirmed", NO_REPLY)]
               for r in reports)
    assert len({r.local_udp_address for r in reports}) == count
    assert len({r.client_public_key for r in reports}) == count
    durations = [r.duration_ms for r in reports]
    assert min(durations) >= wait_ms
    assert wall_ms < sum(durations) / 2, (wall_ms, durations)
