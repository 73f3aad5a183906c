"""Slow clients and credential floods against the real exporter, plain and over TLS.

Attackers come from 127.0.0.2 and 127.0.0.3 (the whole of 127/8 is local),
the scraper from 127.0.0.1. The exporter runs under a lowered open-file
limit, so that its connection cap is small enough for two addresses to
reach. Timings bound what the exporter promises (an answer within the
scrape's limit); every wait is bounded and every thread stopped.
"""

from __future__ import annotations

import http.client
import re
import selectors
import signal
import socket
import ssl
import threading
import time
import warnings

import pytest

from conftest import quorlin_command
from exporter_process import REQUEST_TIMEOUT_S, ExporterProcess, sample, write_fleet
from real_peer import needs_peer
from test_exporter_tls import certificates  # noqa: F401 (a fixture)
from test_exporter_web_config import basic, bcrypt

with warnings.catch_warnings():
    warnings.simplefilter("ignore", DeprecationWarning)
    import crypt

pytestmark = needs_peer

TIMEOUT_HEADER = "X-Prometheus-Scrape-Timeout-Seconds"
# 300 descriptors: 32 probes of 2 and the reserve of 64 leave 172 for
# connections, 64 of them headroom: a cap of 108.
OPEN_FILES = 300
LOWERED = ("quorlin: the connection cap 1024 lowered to 108 by the open-file limit: 300 descriptors (hard limit 300) "
           "hold 32 probes of 2 each and 172 connections beside 64 for the process")
# What a slow client sends first, then a byte a second: half a request head, or half a TLS record.
OPENINGS = {"http": b"GET /probe?target=good HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ",
            "https": b"\x16\x03\x01\x02\x00"}
SUMMARY = re.compile(r"quorlin: closed (\d+) connections? \(most from ([0-9.]+): \d+\): (.+)$")
LEFT_OUT = re.compile(r"quorlin: left out \d+ log lines? in the last \d+ s: at most 20 are written per 10 s$")


class SlowClients:
    """`count` connections from each source, each sending a byte a second, reopened as they are closed."""

    def __init__(self, peer, port: int, sources: list[str], count: int, opening: bytes):
        self.peer, self.port, self.sources, self.count, self.opening = peer, port, sources, count, opening
        self.stop, self.errors, self.opened = threading.Event(), [], 0
        self.thread = threading.Thread(target=self._run, daemon=True)

    def _run(self) -> None:
        selector, held, last_byte = selectors.DefaultSelector(), dict.fromkeys(self.sources, 0), 0.0
        try:
            with self.peer.entered():
                while not self.stop.is_set():
                    for source in self.sources:
                        for _ in range(min(20, self.count - held[source])):  # a few at a time
                            connection = socket.create_connection(("127.0.0.1", self.port), REQUEST_TIMEOUT_S,
                                                                  source_address=(source, 0))
                            connection.sendall(self.opening)
                            connection.setblocking(False)
                            selector.register(connection, selectors.EVENT_READ, source)
                            held[source] += 1
                            self.opened += 1
                    for key, _ in selector.select(timeout=0.1):
                        selector.unregister(key.fileobj)
                        key.fileobj.close()
                        held[key.data] -= 1
                    if time.monotonic() - last_byte >= 1:
                        last_byte = time.monotonic()
                        for key in list(selector.get_map().values()):
                            try:
                                key.fileobj.send(b"x")
                            except OSError:
                                pass  # closed: the next select finds it
        except BaseException as error:  # noqa: BLE001 (reported by the test)
            self.errors.append(error)
        finally:
            for key in list(selector.get_map().values()):
                key.fileobj.close()
            selector.close()

    def __enter__(self) -> "SlowClients":
        self.thread.start()
        return self

    def __exit__(self, *exc) -> None:
        self.stop.set()
        self.thread.join(timeout=REQUEST_TIMEOUT_S)
        assert not self.thread.is_alive(), "the slow clients did not stop"


def scrape(exporter: ExporterProcess, path: str, headers: dict, tls: ssl.SSLContext | None = None,
           source: str = "127.0.0.1") -> tuple[int, str, float]:
    """(status, body, seconds) of one request from `source`, connection and handshake included."""
    started = time.monotonic()
    kind, extra = (http.client.HTTPSConnection, {"context": tls}) if tls else (http.client.HTTPConnection, {})
    with exporter.peer.entered():
        connection = kind("127.0.0.1", exporter.port, timeout=REQUEST_TIMEOUT_S, source_address=(source, 0), **extra)
        try:
            connection.request("GET", path, headers=headers)
            response = connection.getresponse()
            body = response.read().decode()
        finally:
            connection.close()
    return response.status, body, time.monotonic() - started


def lines_until(exporter: ExporterProcess, done, timeout: float) -> None:
    """Reads the exporter's log until `done(exporter.log)` holds."""
    deadline = time.monotonic() + timeout
    while not done(exporter.log):
        left = deadline - time.monotonic()
        try:
            assert left > 0
            exporter.next_line(left)
        except AssertionError:
            raise AssertionError(f"not logged within {timeout} s: {exporter.log[-5:]!r}") from None


@pytest.mark.parametrize("scheme", ["http", "https"])
def test_slow_clients_holding_the_cap_do_not_starve_scrapes(peer, tmp_path, request, scheme):
    fleet = write_fleet(tmp_path, peer.info)
    args = ["exporter", "--fleet", str(fleet), "--listen", "127.0.0.1:0"]
    tls = None
    if scheme == "https":
        folder = request.getfixturevalue("certificates")
        web = folder / "web.yml"
        web.write_text("tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n")
        args += ["--web.config.file", str(web)]
        tls = ssl.create_default_context(cafile=str(folder / "ca.crt"))
    argv = ["prlimit", f"--nofile={OPEN_FILES}:{OPEN_FILES}", quorlin_command(), *args]
    with ExporterProcess(peer, None, argv=argv) as exporter:
        assert exporter.log[0] == LOWERED
        with SlowClients(peer, exporter.port, ["127.0.0.2", "127.0.0.3"], 200, OPENINGS[scheme]) as slow:
            time.sleep(2)
            # Through more than one round of the 5 s limit closing the slow ones.
            for _ in range(5):
                status, body, seconds = scrape(exporter, "/probe?target=good", {TIMEOUT_HEADER: "3"}, tls)
                assert (status, sample(body, "probe_success")) == (200, 1)
                assert seconds < 3, seconds
                time.sleep(1.5)
            assert not slow.errors, slow.errors
            assert slow.opened > 2 * 108
        # Told in a line per interval at most, naming an attacker.
        reasons = ["without a complete request, from the clients holding the most, to make room at the cap of 108 "
                   "connections"]
        summaries = []

        def every_reason_told(log):
            summaries[:] = [SUMMARY.match(line) for line in log if SUMMARY.match(line)]
            return all(any(reason in summary.group(3) for summary in summaries) for reason in reasons)

        lines_until(exporter, every_reason_told, 15)
        assert {summary.group(2) for summary in summaries} <= {"127.0.0.2", "127.0.0.3"}
        assert len(summaries) <= 4
        assert exporter.stop() == 0


def test_a_credential_flood_does_not_delay_the_right_password(peer, tmp_path):
    fleet = write_fleet(tmp_path, peer.info)
    web = tmp_path / "web.yml"
    users = f"basic_auth_users:\n  prometheus: {bcrypt('right')}\n  other: {bcrypt('else')}\n"
    web.write_text(users)
    stop = threading.Event()
    flood_statuses: set[int] = set()

    def flood() -> None:
        while not stop.is_set():
            status, _, _ = scrape(exporter, "/metrics", basic("prometheus", "wrong"), source="127.0.0.2")
            flood_statuses.add(status)

    with ExporterProcess(peer, fleet, "--web.config.file", str(web)) as exporter:
        flooders = [threading.Thread(target=flood, daemon=True) for _ in range(8)]
        for thread in flooders:
            thread.start()
        try:
            answers = []
            for round_number in range(12):
                if round_number == 6:
                    # The same users again: their remembered passes stay.
                    web.write_text(users)
                    exporter.send_signal(signal.SIGHUP)
                status, body, seconds = scrape(exporter, "/probe?target=good",
                                               {TIMEOUT_HEADER: "3", **basic("prometheus", "right")})
                answers.append((status, sample(body, "probe_success"), seconds < 3))
                time.sleep(0.3)
        finally:
            stop.set()
            for thread in flooders:
                thread.join(timeout=REQUEST_TIMEOUT_S)
        assert answers == [(200, 1, True)] * 12, answers
        # One address's line is full: its surplus is refused at once.
        assert flood_statuses == {401, 503}, flood_statuses
        lines_until(exporter, lambda log: any(LEFT_OUT.match(line) for line in log), 15)
        assert {line for line in exporter.log if line.startswith("quorlin: refused a request from")} <= {
            "quorlin: refused a request from 127.0.0.2: 503 too many credentials to check from this address",
            "quorlin: refused a request from 127.0.0.2: 503 too many credentials to check at once"}
        assert exporter.stop() == 0
    # Bounded: 20 a 10 s interval, besides the start, the reload and the left-out counts.
    refusals = [line for line in exporter.log if line.startswith("quorlin: refused")]
    assert len(refusals) <= 20 * 3, len(refusals)


def test_users_with_different_costs_are_warned_of(peer, tmp_path):
    fleet = write_fleet(tmp_path, peer.info)
    web = tmp_path / "web.yml"
    warning = ("quorlin: basic_auth_users have different bcrypt costs, so the time of a check tells them apart: "
               "cost 4 (bob), cost 8 (alice); unknown users are checked at cost 8")
    bob = crypt.crypt("b", crypt.mksalt(crypt.METHOD_BLOWFISH, rounds=2 ** 4))
    web.write_text(f"basic_auth_users:\n  alice: {bcrypt('a')}\n  bob: {bob}\n")
    with ExporterProcess(peer, fleet, "--web.config.file", str(web)) as exporter:
        assert exporter.log[0] == warning
        exporter.send_signal(signal.SIGHUP)
        lines_until(exporter, lambda log: log.count(warning) == 2, 15)
        assert exporter.log[-2:] == [f"quorlin: reloaded {web}", warning]
