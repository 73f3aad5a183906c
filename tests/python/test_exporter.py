"""`quorlin exporter` over real HTTP, probing a real WireGuard peer.

Each endpoint and each refusal once, the probe-slot cap and its 503, reload
of a good and a bad fleet file, SIGTERM while a probe runs, clients that send
half a request, and hundreds of scrapes at once answered within their limit.
"""

from __future__ import annotations

import json
import re
import selectors
import shutil
import signal
import socket
import subprocess
import threading
import time

import pytest

from exporter_process import REQUEST_TIMEOUT_S, ExporterProcess, sample, write_fleet
from real_peer import needs_peer

pytestmark = needs_peer

METRICS_TYPE = "text/plain; version=0.0.4; charset=utf-8"
TEXT_TYPE = "text/plain; charset=utf-8"
TIMEOUT_HEADER = "X-Prometheus-Scrape-Timeout-Seconds"


@pytest.fixture
def silent_endpoint(peer):
    """A UDP port in the peer's namespace that receives and never answers."""
    with peer.entered():
        silent = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    with silent:
        silent.bind(("127.0.0.1", 0))
        yield f"127.0.0.1:{silent.getsockname()[1]}"


def silent_target(tmp_path, info, endpoint: str, deadline_ms: int, handshake_timeout_ms: int | None = None) -> str:
    from conftest import PRIVATE_KEY
    from real_peer import client_config

    # A key of its own: probes that share keys take turns, which is not what these tests are about.
    client_config(tmp_path, info, name="silent.conf", endpoint=endpoint, private_key=PRIVATE_KEY)
    return ('\n[[target]]\nname = "silent"\nconfig = "silent.conf"\n'
            f"deadline_ms = {deadline_ms}\nhandshake_timeout_ms = {handshake_timeout_ms or deadline_ms}\n")


def in_background(call, *args):
    """Runs call(*args) on a thread; the returned function waits for its result."""
    result = {}

    def run():
        try:
            result["value"] = call(*args)
        except BaseException as error:  # handed to the waiting test
            result["error"] = error

    thread = threading.Thread(target=run, daemon=True)
    thread.start()

    def wait():
        thread.join(timeout=REQUEST_TIMEOUT_S + 5)
        if "error" in result:
            raise result["error"]
        assert "value" in result, "the request did not finish within its bound"
        return result["value"]

    return wait


def raw_exchange(exporter: ExporterProcess, request: bytes) -> bytes:
    """Everything the exporter sends back for `request`, read until it closes the connection."""
    with exporter.peer.entered(), socket.create_connection((exporter.host, exporter.port),
                                                           timeout=REQUEST_TIMEOUT_S) as connection:
        connection.sendall(request)
        answer = b""
        while chunk := connection.recv(65536):
            answer += chunk
    return answer


# A few refusals over real HTTP, for the answer and its log line; the rest are
# the exporter's C++ table (tests/exporter).
REFUSALS = [
    ("/probe?target=nope", {}, "GET", 400, 'unknown target "nope"'),
    ("/metrics", {}, "POST", 405, "only GET and HEAD are served"),
    ("*", {}, "OPTIONS", 405, "only GET and HEAD are served"),
    ("/probe?target=good&debug=yes", {}, "GET", 400, "debug must be true or false"),
]


def test_endpoints_and_refusals(peer, tmp_path):
    info = peer.info
    fleet = write_fleet(tmp_path, info)
    with ExporterProcess(peer, fleet) as exporter:
        answers = []

        # A good target: every check passes, each phase that ran has its series.
        status, headers, body = exporter.request("/probe?target=good", {TIMEOUT_HEADER: "10"})
        answers.append(body)
        assert (status, headers["Content-Type"]) == (200, METRICS_TYPE)
        ping, dns = f'check="{info["peer_tunnel_ip"]}",phase="ping"', 'check="ok.quorlin.test",phase="dns"'
        expected = {
            "probe_success": 1, "quorlin_probe_verdict{verdict=\"data_plane_confirmed\"}": 1,
            "quorlin_probe_verdict{verdict=\"authentication_confirmed\"}": 0,
            "quorlin_probe_verdict{verdict=\"unconfirmed\"}": 0, "quorlin_probe_verdict{verdict=\"local_error\"}": 0,
            f"quorlin_phase_success{{{ping}}}": 1, f"quorlin_phase_success{{{dns}}}": 1,
            'quorlin_phase_success{check="",phase="handshake"}': 1,
            'quorlin_phase_success{check="",phase="keepalive"}': 1,
        }
        assert {name: sample(body, name) for name in expected} == expected, body
        assert sample(body, f"quorlin_phase_duration_seconds{{{ping}}}") > 0
        assert sample(body, "probe_duration_seconds") > 0
        assert sample(body, "quorlin_probe_sent_bytes") > 148 and sample(body, "quorlin_probe_received_bytes") > 92

        # A wrong peer key: still 200, probe_success 0; the checks it skipped export nothing.
        time.sleep(0.1)  # the peer ignores a second initiation from one key within about 20 ms
        status, _, body = exporter.request("/probe?target=wrong-key")
        answers.append(body)
        assert status == 200
        assert (sample(body, "probe_success"), sample(body, 'quorlin_probe_verdict{verdict="unconfirmed"}')) == (0, 1)
        assert sample(body, 'quorlin_phase_success{check="",phase="handshake"}') == 0
        assert "phase=\"keepalive\"" not in body and "phase=\"ping\"" not in body
        # Logged at info, with what failed; the probe that passed is not.
        assert exporter.next_line() == (
            f'quorlin: probed target "wrong-key" for 127.0.0.1: unconfirmed, CRITICAL: handshake {info["endpoint_ipv4"]} '
            "unconfirmed: no authenticated response before the handshake deadline")

        status, headers, body = exporter.request("/metrics")
        answers.append(body)
        assert (status, headers["Content-Type"]) == (200, METRICS_TYPE)
        assert sample(body, 'quorlin_exporter_probes_total{verdict="data_plane_confirmed"}') == 1
        assert sample(body, 'quorlin_exporter_probes_total{verdict="unconfirmed"}') == 1
        assert sample(body, "quorlin_exporter_probes_in_flight") == 0
        assert sample(body, "quorlin_exporter_config_last_reload_successful") == 1
        assert sample(body, "quorlin_exporter_config_last_reload_success_timestamp_seconds") > time.time() - 600
        assert "probe_success" not in body

        status, headers, body = exporter.request("/targets")
        answers.append(body)
        assert (status, headers["Content-Type"]) == (200, "application/json")
        assert body == ('[{"targets":["good"],"labels":{"region":"eu-central","site":"dc1"}},'
                        '{"targets":["wrong-key"],"labels":{"region":"us-east"}}]')
        assert json.loads(body)[0]["labels"] == {"region": "eu-central", "site": "dc1"}

        status, headers, body = exporter.request("/")
        answers.append(body)
        assert (status, headers["Content-Type"]) == (200, "text/html; charset=utf-8")
        for link in ('href="probe?target=good"', 'href="probe?target=wrong-key"', 'href="metrics"'):
            assert link in body

        assert exporter.request("/-/healthy")[::2] == (200, "OK\n")

        # For a person at a browser: the probe's own table and JSON line instead
        # of metrics; like `quorlin --json`, they show the client's public key.
        time.sleep(0.1)
        status, headers, body = exporter.request("/probe?target=good&debug=true")
        assert (status, headers["Content-Type"]) == (200, TEXT_TYPE)
        table, json_line = body.rstrip("\n").rsplit("\n", 1)
        assert "data_plane_confirmed" in table and "handshake" in table
        assert json.loads(json_line)["verdict"] == "data_plane_confirmed"
        assert info["client_private_key"] not in body and str(tmp_path) not in body

        # Refusals: a one-line reason as the answer, the same in one log line.
        for path, headers, method, status, reason in REFUSALS:
            got_status, got_headers, body = exporter.request(path, headers, method)
            answers.append(body)
            assert (got_status, got_headers["Content-Type"], body) == (status, TEXT_TYPE, reason + "\n"), path
            query = "?" + path.split("?", 1)[1] if "?" in path else ""
            shown_path = path.split("?", 1)[0]
            assert exporter.next_line() == f"quorlin: refused {method} {shown_path}{query} from 127.0.0.1: {status} {reason}"

        # HEAD: GET's answer without its body. A request line in absolute form
        # (through a proxy): served, and refused, as its path.
        head = raw_exchange(exporter, b"HEAD /-/healthy HTTP/1.1\r\nHost: x\r\n\r\n")
        assert head.startswith(b"HTTP/1.1 200 ") and head.endswith(b"\r\n\r\n"), head
        absolute = f"http://{exporter.host}:{exporter.port}"
        assert exporter.request(absolute + "/-/healthy")[::2] == (200, "OK\n")
        assert exporter.request(absolute + "/probe?target=nope")[0] == 400
        assert exporter.next_line() == 'quorlin: refused GET /probe?target=nope from 127.0.0.1: 400 unknown target "nope"'

        # Nothing answered holds a key or a path.
        secrets = [info["client_private_key"], info["peer_public_key"], info["client_public_key"], str(tmp_path)]
        assert not [secret for secret in secrets for answer in answers if secret in answer]
        assert exporter.stop() == 0
    # No line per successful probe: only the failed one, the refusals and the stop.
    assert exporter.log[-1] == "quorlin: stopping: running probes end by their deadlines"
    assert len(exporter.log) == 1 + 1 + len(REFUSALS) + 2


def test_probe_slots_cap_and_503(peer, tmp_path, silent_endpoint):
    fleet = write_fleet(tmp_path, peer.info, silent_target(tmp_path, peer.info, silent_endpoint, 3000))
    with ExporterProcess(peer, fleet, "--max-concurrent", "1") as exporter:
        first = in_background(exporter.request, "/probe?target=silent")
        exporter.wait_for_metric("quorlin_exporter_probes_in_flight", 1)
        # The only slot is taken: this one waits its own limit (1.5 s less the 0.5 s offset), then gets 503.
        started = time.monotonic()
        status, _, body = exporter.request("/probe?target=good", {TIMEOUT_HEADER: "1.5"})
        waited = time.monotonic() - started
        reason = "too many probes at once: no probe slot came free within the time limit"
        assert (status, body) == (503, reason + "\n")
        assert 0.9 < waited < 1.5, waited
        assert exporter.next_line() == f"quorlin: refused GET /probe?target=good from 127.0.0.1: 503 {reason}"
        status, _, body = first()
        assert (status, sample(body, "probe_success")) == (200, 0)
        # The slot is free again.
        status, _, body = exporter.request("/probe?target=good", {TIMEOUT_HEADER: "10"})
        assert (status, sample(body, "probe_success")) == (200, 1)


def test_a_probe_queued_behind_a_busy_worker_keeps_its_arrivals_limit(peer, tmp_path, silent_endpoint):
    # Each probe ends when its 3 s handshake limit passes; the target's deadline is longer.
    fleet = write_fleet(tmp_path, peer.info, silent_target(tmp_path, peer.info, silent_endpoint, 6000, 3000))
    with ExporterProcess(peer, fleet, "--max-concurrent", "1") as exporter:
        first = in_background(exporter.request, "/probe?target=silent", {TIMEOUT_HEADER: "10"})
        exporter.wait_for_metric("quorlin_exporter_probes_in_flight", 1)
        # Its limit is 4 s from its arrival (4.5 s less the offset, below the target's 6 s): it
        # waits about 3 s for the worker, then runs for what is left of those 4 s, not for its
        # whole deadline nor its whole handshake limit.
        started = time.monotonic()
        status, _, body = exporter.request("/probe?target=silent", {TIMEOUT_HEADER: "4.5"})
        answered = time.monotonic() - started
        assert (status, sample(body, "probe_success")) == (200, 0), (answered, body)
        assert answered < 4.5, answered
        assert first()[0] == 200


def test_reload_good_then_bad(peer, tmp_path):
    fleet = write_fleet(tmp_path, peer.info)
    with ExporterProcess(peer, fleet) as exporter:
        fleet.write_text(fleet.read_text() + '\n[[target]]\nname = "third"\nconfig = "good.conf"\n')
        exporter.send_signal(signal.SIGHUP)
        assert exporter.next_line() == f"quorlin: reloaded {fleet}: 3 targets"
        assert '"third"' in exporter.request("/targets")[2]

        # A typo: logged with its place, and the three targets stay in service.
        fleet.write_text(fleet.read_text() + "\n[[target]]\nnmae = \"fourth\"\n")
        exporter.send_signal(signal.SIGHUP)
        line = exporter.next_line()
        assert line.startswith(f"quorlin: reload failed, the previous fleet stays in use: {fleet}:")
        assert [group["targets"] for group in json.loads(exporter.request("/targets")[2])] == [
            ["good"], ["wrong-key"], ["third"]]
        assert exporter.metric("/metrics", "quorlin_exporter_config_last_reload_successful") == 0
        status, _, body = exporter.request("/probe?target=third", {TIMEOUT_HEADER: "10"})
        assert (status, sample(body, "probe_success")) == (200, 1)


@pytest.mark.parametrize("broken, broken_text", [
    ("fleet", '\n[[target]]\nnmae = "fourth"\n'),
    ("web", "basic_auth_users:\n  prometheus: plain\n"),
])
def test_reload_metrics_across_a_broken_then_mended_file(peer, tmp_path, broken, broken_text):
    fleet = write_fleet(tmp_path, peer.info)
    web = tmp_path / "web.yml"
    web.write_text("")  # plain HTTP, no passwords
    path = {"fleet": fleet, "web": web}[broken]
    good_text = path.read_text()
    with ExporterProcess(peer, fleet, "--web.config.file", str(web)) as exporter:
        def reload_metrics():
            body = exporter.request("/metrics")[2]
            return (sample(body, "quorlin_exporter_config_last_reload_successful"),
                    sample(body, "quorlin_exporter_config_last_reload_success_timestamp_seconds"))

        successful, started = reload_metrics()
        assert successful == 1 and time.time() - 600 < started <= time.time()

        path.write_text(good_text + broken_text)
        exporter.send_signal(signal.SIGHUP)
        lines = [exporter.next_line(), exporter.next_line()]
        if broken == "fleet":
            assert lines[0].startswith(f"quorlin: reload failed, the previous fleet stays in use: {fleet}:")
            assert lines[1] == f"quorlin: reloaded {web}"
        else:
            assert lines == [f"quorlin: reloaded {fleet}: 2 targets",
                             f"quorlin: reload failed, the previous web config stays in use: {web}:2:3: "
                             'the password of user "prometheus" is not a bcrypt hash']
        # Either file refused fails the reload; the last success keeps its time.
        assert reload_metrics() == (0, started)

        path.write_text(good_text)
        exporter.send_signal(signal.SIGHUP)
        assert [exporter.next_line(), exporter.next_line()] == [f"quorlin: reloaded {fleet}: 2 targets",
                                                                f"quorlin: reloaded {web}"]
        successful, mended = reload_metrics()
        assert successful == 1 and started < mended <= time.time()


@pytest.mark.skipif(shutil.which("promtool") is None, reason="Debian's promtool is not installed")
def test_metrics_pass_promtool(peer, tmp_path):
    from quorlin import __version__

    before = time.time()
    with ExporterProcess(peer, write_fleet(tmp_path, peer.info)) as exporter:
        after = time.time()
        assert exporter.request("/probe?target=good", {TIMEOUT_HEADER: "10"})[0] == 200
        body = exporter.request("/metrics")[2]
    checked = subprocess.run(["promtool", "check", "metrics"], input=body, capture_output=True, text=True,
                             timeout=REQUEST_TIMEOUT_S)
    assert (checked.returncode, checked.stdout, checked.stderr) == (0, "", ""), body
    assert re.search(r'^quorlin_build_info\{revision="([0-9a-f]{40}|unknown)",version="' + re.escape(__version__) +
                     r'"\} 1$', body, re.M), body
    # From the exporter's own /proc.
    assert before - 1 <= sample(body, "process_start_time_seconds") <= after + 1
    # The listener, the signals, the standard streams at least; the limit is above them.
    assert 5 <= sample(body, "process_open_fds") <= sample(body, "process_max_fds")
    assert 0 < sample(body, "process_resident_memory_bytes") < sample(body, "process_virtual_memory_bytes")


def test_sigterm_during_a_probe(peer, tmp_path, silent_endpoint):
    fleet = write_fleet(tmp_path, peer.info, silent_target(tmp_path, peer.info, silent_endpoint, 2000))
    exporter = ExporterProcess(peer, fleet)
    try:
        running = in_background(exporter.request, "/probe?target=silent")
        exporter.wait_for_metric("quorlin_exporter_probes_in_flight", 1)
        exporter.send_signal(signal.SIGTERM)
        assert exporter.next_line() == "quorlin: stopping: running probes end by their deadlines"
        # No new probe is taken...
        status, _, body = exporter.request("/probe?target=good")
        assert (status, body) == (503, "the exporter is stopping\n")
        assert exporter.next_line() == "quorlin: refused GET /probe?target=good from 127.0.0.1: 503 the exporter is stopping"
        # ...the running probe ends by its deadline with its answer, and the exit status is 0.
        status, _, body = running()
        assert (status, sample(body, "probe_success"), sample(body, 'quorlin_probe_verdict{verdict="unconfirmed"}')) \
            == (200, 0, 1)
    finally:
        assert exporter.stop() == 0


def test_half_sent_requests_cannot_hold_the_workers(peer, tmp_path):
    fleet = write_fleet(tmp_path, peer.info)
    with ExporterProcess(peer, fleet, "--max-concurrent", "1") as exporter:
        # More half-sent requests than the exporter has workers (it keeps a
        # few beyond twice --max-concurrent)...
        slow = []
        try:
            with peer.entered():
                for _ in range(8):
                    slow.append(socket.create_connection(("127.0.0.1", exporter.port), timeout=REQUEST_TIMEOUT_S))
            for connection in slow:
                connection.sendall(b"GET /probe?target=good HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Pro")
            # ...and still a whole request is answered; the idle timeout closes them.
            assert exporter.request("/-/healthy")[0] == 200
            for connection in slow:
                received = b""
                while chunk := connection.recv(4096):
                    received += chunk
                assert received == b""
        finally:
            for connection in slow:
                connection.close()
        assert exporter.next_line() == ("quorlin: closed 8 connections (most from 127.0.0.1: 8): 8 without a complete "
                                        "request within 5 s of connecting")


def test_targets_sharing_keys_take_turns(peer, tmp_path):
    # Two names for one server with one key, scraped at the same moment (as
    # two Prometheus servers would): the peer answers one initiation from a
    # key at a time, so the exporter must space them for both to pass.
    extra = '\n[[target]]\nname = "again"\nconfig = "good.conf"\n'
    fleet = write_fleet(tmp_path, peer.info, extra)
    with ExporterProcess(peer, fleet) as exporter:
        for _ in range(3):
            scrapes = [in_background(exporter.request, f"/probe?target={name}", {TIMEOUT_HEADER: "10"})
                       for name in ("good", "again")]
            assert [sample(wait()[2], "probe_success") for wait in scrapes] == [1, 1]
        # A reload in the middle of the turns: probes started before and after
        # it still take turns. A 1 s scrape timeout less the 0.5 s offset leaves
        # no time for a resend.
        for _ in range(3):
            scrapes = [in_background(exporter.request, f"/probe?target={name}", {TIMEOUT_HEADER: "1"})
                       for name in ("good", "again", "good", "again")]
            for _ in range(3):
                exporter.send_signal(signal.SIGHUP)
            assert [sample(wait()[2], "probe_success") for wait in scrapes] == [1] * 4


def test_loss_round_trips_and_path_mtu_per_target(peer, tmp_path):
    # Echoes to an address nobody answers are all lost: past the fleet file's
    # ping_critical, probe_success is 0 although the verdict confirms the data plane.
    ip, nobody = peer.info["peer_tunnel_ip"], "10.99.0.77"
    extra = ('\n[[target]]\nname = "measured"\nconfig = "good.conf"\n'
             f'ping = ["{ip}", "{nobody}"]\nping_count = 2\nping_interval_ms = 10\nping_timeout_ms = 200\n'
             'mtu_check = true\nping_critical = "500,60%"\n')
    with ExporterProcess(peer, write_fleet(tmp_path, peer.info, extra)) as exporter:
        status, _, body = exporter.request("/probe?target=measured", {TIMEOUT_HEADER: "10"})
    assert status == 200
    assert sample(body, 'quorlin_probe_verdict{verdict="data_plane_confirmed"}') == 1
    assert (sample(body, f'quorlin_ping_loss_ratio{{check="{ip}"}}'),
            sample(body, f'quorlin_ping_loss_ratio{{check="{nobody}"}}')) == (0, 1)
    assert sample(body, f'quorlin_ping_rtt_avg_seconds{{check="{ip}"}}') > 0
    assert sample(body, f'quorlin_ping_rtt_avg_seconds{{check="{nobody}"}}') is None  # nothing to average
    assert (sample(body, f'quorlin_path_mtu_bytes{{check="{ip}"}}'),
            sample(body, f'quorlin_path_mtu_expected_bytes{{check="{ip}"}}')) == (1420, 1420)
    assert sample(body, "probe_success") == 0


HALF_SENT = b"GET /probe?target=good HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Pro"


def hold_half_sent(peer, port: int, count: int, stop: threading.Event) -> None:
    """`count` connections holding half a request each, reopened as the exporter drops them."""
    selector = selectors.DefaultSelector()

    def open_one():
        with peer.entered():
            connection = socket.create_connection(("127.0.0.1", port), timeout=REQUEST_TIMEOUT_S,
                                                  source_address=("127.0.0.2", 0))
        connection.sendall(HALF_SENT)
        connection.setblocking(False)
        selector.register(connection, selectors.EVENT_READ)

    try:
        for _ in range(count):
            open_one()
        while not stop.is_set():
            for key, _ in selector.select(timeout=0.1):
                selector.unregister(key.fileobj)
                key.fileobj.close()
                open_one()
    finally:
        for key in list(selector.get_map().values()):
            key.fileobj.close()
        selector.close()


def test_slow_clients_do_not_delay_scrapes(peer, tmp_path):
    fleet = write_fleet(tmp_path, peer.info)
    with ExporterProcess(peer, fleet) as exporter:
        stop = threading.Event()
        # From another address, as many as one address may hold.
        holder = threading.Thread(target=hold_half_sent, args=(peer, exporter.port, 64, stop), daemon=True)
        holder.start()
        try:
            time.sleep(1)
            # Through two rounds of the 5 s idle timeout dropping and the holder reopening them.
            for _ in range(6):
                started = time.monotonic()
                status, _, body = exporter.request("/probe?target=good", {TIMEOUT_HEADER: "3"})
                assert (status, sample(body, "probe_success")) == (200, 1)
                assert time.monotonic() - started < 3
                time.sleep(1.5)
            assert holder.is_alive(), "the holder of slow connections failed"
        finally:
            stop.set()
            holder.join(timeout=REQUEST_TIMEOUT_S)


def scrape_all_at_once(peer, port: int, paths: list[str], timeout_s: float) -> list[tuple[int, float]]:
    """Sends every request at once, each on its own connection as it opens, as a scraper does:
    (status, seconds from send to the whole answer)."""
    selector = selectors.DefaultSelector()
    connections = []
    answers = {}
    try:
        with peer.entered():
            for path in paths:
                connection = socket.create_connection(("127.0.0.1", port), timeout=REQUEST_TIMEOUT_S)
                connections.append(connection)
                request = (f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                           f"{TIMEOUT_HEADER}: {timeout_s}\r\n\r\n").encode()
                answers[connection] = [time.monotonic(), b"", None]
                connection.sendall(request)
                connection.setblocking(False)
                selector.register(connection, selectors.EVENT_READ)
        deadline = time.monotonic() + REQUEST_TIMEOUT_S
        while selector.get_map() and time.monotonic() < deadline:
            for key, _ in selector.select(timeout=1):
                answer = answers[key.fileobj]
                chunk = key.fileobj.recv(65536)
                answer[1] += chunk
                if not chunk:  # the exporter closes after each answer
                    answer[2] = time.monotonic() - answer[0]
                    selector.unregister(key.fileobj)
    finally:
        for connection in connections:
            connection.close()
        selector.close()
    assert all(answer[2] is not None for answer in answers.values()), "an answer did not come within the bound"
    return [(int(answer[1].split(b" ", 2)[1]), answer[2]) for answer in answers.values()]


def test_hundreds_of_scrapes_answered_within_their_limit(peer, tmp_path):
    # Each scrape's limit counts from its arrival: one that cannot start its
    # probe in time is refused with 503 before its limit, never after.
    fleet = write_fleet(tmp_path, peer.info)
    with ExporterProcess(peer, fleet, "--max-concurrent", "8") as exporter:
        paths = ["/probe?target=good", "/probe?target=wrong-key"] * 150
        answers = scrape_all_at_once(peer, exporter.port, paths, 2)
    statuses = {status for status, _ in answers}
    assert statuses <= {200, 503} and 200 in statuses, statuses
    slowest = max(seconds for _, seconds in answers)
    assert slowest < 2 + 0.5, f"the slowest answer took {slowest:.2f} s"


@pytest.mark.parametrize("option, listen, clients", [
    ("--listen", "[::1]:0", ["::1"]),
    # The unspecified IPv6 address serves IPv4 clients too; the exporters' usual spelling of the option.
    ("--web.listen-address", "[::]:0", ["::1", "127.0.0.1"]),
])
def test_ipv6_listen_addresses(peer, tmp_path, option, listen, clients):
    fleet = write_fleet(tmp_path, peer.info)
    with ExporterProcess(peer, fleet, listen=listen, listen_option=option) as exporter:
        assert exporter.log[0].startswith(f"quorlin: listening on [{listen[1:-3]}]:")
        for client in clients:
            status, _, body = exporter.request("/probe?target=good", {TIMEOUT_HEADER: "10"}, host=client)
            assert (status, sample(body, "probe_success")) == (200, 1), client
            time.sleep(0.1)
        status, _, body = exporter.request("/probe?target=nope", host=clients[0])
        assert exporter.next_line() == f"quorlin: refused GET /probe?target=nope from {clients[0]}: 400 unknown target \"nope\""


LISTEN_REFUSAL = "--listen must be an address and a port, like 127.0.0.1:9723 or [::1]:9723, got "


@pytest.mark.parametrize("args, message", [
    *[(["--listen", listen], LISTEN_REFUSAL + listen)
      for listen in ["::1:9723", "[::1]9723", "[127.0.0.1]:9723", "localhost:9723", "[::1]:65536"]],
    *[(["--log.level", level], f"--log.level must be debug, info, warn or error, got {level}")
      for level in ["warning", "INFO", ""]],
])
def test_options_refused(tmp_path, args, message):
    from conftest import quorlin_command

    done = subprocess.run([quorlin_command(), "exporter", "--fleet", str(tmp_path / "fleet.toml"), *args],
                          capture_output=True, text=True, timeout=REQUEST_TIMEOUT_S)
    assert (done.returncode, done.stdout) == (3, "")
    assert done.stderr.endswith(f"quorlin: {message}\n")


# Which lines each --log.level lets through, for the same requests: a passed
# probe asked with a module, a failed probe, a refusal, then the stop.
LOG_LEVELS = {
    "debug": ["listening", "module", "good", "wrong-key", "refused", "stopping"],
    "info": ["listening", "wrong-key", "refused", "stopping"],
    "warn": ["refused"],
    "error": [],
}


@pytest.mark.parametrize("level", LOG_LEVELS)
def test_log_levels(peer, tmp_path, level):
    endpoint = peer.info["endpoint_ipv4"]
    lines = {
        "listening": "quorlin: listening on 127.0.0.1:9724, serving 2 targets",
        "module": 'quorlin: ignored module "wireguard" from 127.0.0.1: each target is probed as the fleet file says',
        "good": 'quorlin: probed target "good" for 127.0.0.1: data_plane_confirmed, OK',
        "wrong-key": (f'quorlin: probed target "wrong-key" for 127.0.0.1: unconfirmed, CRITICAL: handshake {endpoint} '
                      "unconfirmed: no authenticated response before the handshake deadline"),
        "refused": 'quorlin: refused GET /probe?target=nope from 127.0.0.1: 400 unknown target "nope"',
        "stopping": "quorlin: stopping: running probes end by their deadlines",
    }
    fleet = write_fleet(tmp_path, peer.info)
    # The start line is below warn: the exporter is found on a fixed port.
    with ExporterProcess(peer, fleet, "--log.level", level, listen="127.0.0.1:9724", quiet_start=True) as exporter:
        status, _, body = exporter.request("/probe?target=good&module=wireguard", {TIMEOUT_HEADER: "10"})
        assert (status, sample(body, "probe_success")) == (200, 1)
        time.sleep(0.1)  # the peer ignores a second initiation from one key within about 20 ms
        status, _, body = exporter.request("/probe?target=wrong-key")
        assert (status, sample(body, "probe_success")) == (200, 0)
        assert exporter.request("/probe?target=nope")[0] == 400
        assert exporter.stop() == 0
    assert exporter.log == [lines[name] for name in LOG_LEVELS[level]]
