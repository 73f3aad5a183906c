"""TCP checks through the tunnel against the real peer: the namespace's own
TCP stack answers a port with a listener (Python's http.server on the tunnel
address), refuses a closed port with a reset, and an address nobody holds
stays silent. The command, the module, the fleet and the exporter each take
the checks."""

from __future__ import annotations

import json
import re

import pytest

import quorlin
from conftest import quorlin_command
from exporter_process import ExporterProcess, sample, write_fleet
from real_peer import UNANSWERED, client_config, needs_peer
from relay import Faults, UdpRelay  # tests/peer, on the path through real_peer
from tunnel_services import connections, http_server

pytestmark = needs_peer

OPEN, CLOSED = 8080, 8081
SEGMENT_DATAGRAM = 80  # a 44-byte SYN (or a 40-byte reset) padded to 48, in a 32-byte transport message


@pytest.fixture(scope="module")
def web(peer, tmp_path_factory):
    with http_server(peer, OPEN, tmp_path_factory.mktemp("web")) as server:
        yield server


def tcp_phases(report: dict) -> list[tuple]:
    return [(p["target"], p["status"], p["sent_bytes"]) for p in report["phases"] if p["phase"] == "tcp"]


def test_a_port_that_accepts_one_that_refuses_and_one_that_is_silent(peer, prober, tmp_path, web):
    ip = peer.info["peer_tunnel_ip"]
    argv = [str(client_config(tmp_path, peer.info)), "--tcp", f"{ip}:{OPEN}", "--tcp", f"{ip}:{CLOSED}",
            "--tcp", f"{UNANSWERED}:80", "--tcp-timeout-ms", "1500"]
    done = prober.command(*argv, "--nagios")
    assert (done.returncode, done.stderr) == (1, ""), done.stdout
    first, *long_output = done.stdout.splitlines()
    summary, perfdata = first.split(" | ")
    assert summary.endswith(f"1 of 3 checks passed - tcp {ip}:{CLOSED} refused, tcp {UNANSWERED}:80 unanswered"), first
    assert re.search(r"^'handshake'=\S+ 'tcp1'=0\.\d{6}s;;;0 'sent'", perfdata), perfdata
    assert re.fullmatch(rf"tcp {ip}:{OPEN}: connection accepted \(SYN-ACK\), round trip \d+\.\d{{3}} ms",
                        long_output[0]), long_output
    assert long_output[1] == f"tcp {ip}:{CLOSED}: connection refused (RST)"
    assert re.fullmatch(rf"tcp {UNANSWERED}:80: no SYN-ACK or RST before the check deadline, after 1[5-9]\d\d ms",
                        long_output[2]), long_output
    # The reset after the SYN-ACK freed the server's side at once.
    assert connections(peer, OPEN) == []

    report = json.loads(prober.command(*argv, "--json").stdout)
    # Open: the SYN and the reset; closed: the SYN; silent: the SYN and its
    # one resend after TCP's first second, within the 1.5 s limit.
    assert tcp_phases(report) == [(f"{ip}:{OPEN}", "passed", 2 * SEGMENT_DATAGRAM),
                                  (f"{ip}:{CLOSED}", "passed", SEGMENT_DATAGRAM),
                                  (f"{UNANSWERED}:80", "unconfirmed", 2 * SEGMENT_DATAGRAM)]
    assert report["verdict"] == "data_plane_confirmed"


# A lost SYN is sent again after TCP's first second. A lost SYN-ACK is sent
# again by the server at about the same moment: whichever comes first
# answers, so the SYN went out once or twice.
@pytest.mark.parametrize("faults, syns", [(dict(to_peer=Faults(drop_nth=3)), {2}),
                                          (dict(to_client=Faults(drop_nth=2)), {1, 2})],
                         ids=["SYN lost", "SYN-ACK lost"])
def test_a_lost_syn_or_syn_ack_is_answered_after_the_resend(peer, prober, tmp_path, web, faults, syns):
    ip = peer.info["peer_tunnel_ip"]
    with UdpRelay(peer, **faults) as relay:
        done = prober.command(str(client_config(tmp_path, peer.info, endpoint=relay.endpoint)),
                              "--tcp", f"{ip}:{OPEN}", "--json")
    report = json.loads(done.stdout)
    assert done.returncode == 0, done.stdout
    (tcp,) = [p for p in report["phases"] if p["phase"] == "tcp"]
    assert (tcp["status"], tcp["sent_bytes"] // SEGMENT_DATAGRAM - 1 in syns) == ("passed", True), tcp  # and the reset
    assert tcp["duration_ms"] >= 900


def test_the_module_the_fleet_and_the_exporter_take_tcp_checks(peer, prober, tmp_path, web):
    info = peer.info
    ip = info["peer_tunnel_ip"]
    config = client_config(tmp_path, info)
    report = prober.file(config, tcp=[f"{ip}:{OPEN}", f"{ip}:{CLOSED}"], tcp_timeout_ms=2000)
    assert [(p.phase, p.status, p.detail) for p in report.phases if p.phase == "tcp"] == [
        ("tcp", "passed", "connection accepted (SYN-ACK)"), ("tcp", "passed", "connection refused (RST)")]
    with pytest.raises(quorlin.QuorlinError, match=r"^tcp must be ADDR:PORT \(an IPv4 address and a port from 1 "
                                                   r"through 65535\), got 10\.99\.0\.1$"):
        quorlin.probe_file(config, tcp=["10.99.0.1"])

    fleet = write_fleet(tmp_path, info, extra=(
        f'\n[[target]]\nname = "web"\nconfig = "good.conf"\ntcp = ["{ip}:{OPEN}", "{ip}:{CLOSED}"]\n'
        'tcp_timeout_ms = 2000\n'))
    done = peer.run([quorlin_command(), "fleet", str(fleet), "--target", "web", "--nagios"])
    assert (done.returncode, done.stdout.split(" | ")[0]) == (
        1, "WIREGUARD WARNING - 1 target: 0 OK, 1 WARNING, 0 CRITICAL, 0 UNKNOWN - WARNING: web"), done.stdout
    with ExporterProcess(peer, fleet) as exporter:
        status, _, body = exporter.request("/probe?target=web")
    assert status == 200
    assert [sample(body, name) for name in (
        f'quorlin_check_success{{check="tcp",target="{ip}:{OPEN}"}}',
        f'quorlin_check_success{{check="tcp",target="{ip}:{CLOSED}"}}',
        "quorlin_probe_state", "probe_success")] == [1, 0, 1, 0], body
