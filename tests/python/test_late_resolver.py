"""Host-name endpoints at fleet scale: a real dnsmasq answering 300 ms late
(late_resolver.py), a real peer, and names whose lookups hang beside healthy
ones, in `quorlin fleet` and in `quorlin exporter`."""

from __future__ import annotations

import json
import threading

import pytest

from exporter_process import ExporterProcess, sample
from late_resolver import HANGING_DOMAIN, HEALTHY_DOMAIN, PEER_SIDE, late_resolver
from real_peer import ALLOWED_IPS, COMMAND_TIMEOUT_S, needs_peer, wgpeer
from conftest import quorlin_command

pytestmark = needs_peer

HEALTHY = 64
HANGING = 4
DELAY_MS = 300
STILL_RUNNING = "endpoint resolution exceeded the overall deadline"


@pytest.fixture(scope="module")
def setting():
    with wgpeer.WireGuardPeer(dns=False, extra_clients=HEALTHY + HANGING) as peer:
        with late_resolver(peer, DELAY_MS) as prober:
            yield peer, prober


def write_fleet(tmp_path, peer, names: list[str]):
    """One raw-key target per host name, each with a client key of its own."""
    lines = ["[defaults]", "deadline_ms = 3000", f'allowed_ips = ["{ALLOWED_IPS}"]', ""]
    for i, name in enumerate(names):
        client = peer.info["extra_clients"][i]
        key = tmp_path / f"client{i}.key"
        key.write_text(client["private_key"] + "\n")
        key.chmod(0o600)
        lines += ["[[target]]", f'name = "{name}"', f'private_key_file = "{key.name}"',
                  f'peer_key = "{peer.info["peer_public_key"]}"',
                  f'endpoint = "{name}:{peer.info["listen_port"]}"', f'address = "{client["address"]}"', ""]
    fleet = tmp_path / "fleet.toml"
    fleet.write_text("\n".join(lines))
    return fleet


def hanging_names():
    return [f"h{i}.{HANGING_DOMAIN}" for i in range(HANGING)]


def test_fleet_of_host_names_behind_a_late_resolver_with_names_that_hang(setting, tmp_path):
    # Four hanging names first, so they hold their workers before any healthy
    # lookup starts; 68 names at once is more than the 64 workers, so the last
    # healthy lookups wait for a worker inside their deadlines.
    peer, prober = setting
    healthy = [f"t{i}.{HEALTHY_DOMAIN}" for i in range(HEALTHY)]
    fleet = write_fleet(tmp_path, peer, hanging_names() + healthy)
    run = prober.run([quorlin_command(), "fleet", str(fleet), "--json", "--concurrency", str(HEALTHY + HANGING)],
                     timeout=COMMAND_TIMEOUT_S)

    assert (run.returncode, run.stderr) == (3, "")
    reports = {line["target"]: line["report"] for line in map(json.loads, run.stdout.splitlines())}
    assert sorted(reports) == sorted(hanging_names() + healthy)
    for name in healthy:
        assert reports[name]["verdict"] == "authentication_confirmed", reports[name]
        assert reports[name]["resolved_endpoint"] == f"{PEER_SIDE}:{peer.info['listen_port']}"
    for name in hanging_names():
        assert reports[name]["verdict"] == "local_error"
        assert reports[name]["phases"] == [
            {"phase": "endpoint_resolution", "status": "error",
             "duration_ms": reports[name]["phases"][0]["duration_ms"], "sent_bytes": 0, "received_bytes": 0,
             "detail": STILL_RUNNING}]


def test_exporter_answers_a_healthy_target_while_hanging_names_are_scraped(setting, tmp_path):
    peer, prober = setting
    healthy = f"good.{HEALTHY_DOMAIN}"
    fleet = write_fleet(tmp_path, peer, hanging_names() + [healthy])
    timeout = {"X-Prometheus-Scrape-Timeout-Seconds": "10"}
    with ExporterProcess(prober, fleet) as exporter:
        # Twice: the second round's hanging scrapes find the first round's
        # lookups still hanging.
        for _ in range(2):
            hung: dict[str, str] = {}

            def scrape(name: str) -> None:
                hung[name] = exporter.request(f"/probe?target={name}", timeout)[2]

            threads = [threading.Thread(target=scrape, args=(name,)) for name in hanging_names()]
            for thread in threads:
                thread.start()
            try:
                exporter.wait_for_metric("quorlin_exporter_probes_in_flight", HANGING)
                for _ in range(2):
                    assert exporter.metric(f"/probe?target={healthy}", "probe_success") == 1
            finally:
                for thread in threads:
                    thread.join(timeout=30)
            assert {name: sample(body, "probe_success") for name, body in hung.items()} == {
                name: 0 for name in hanging_names()}
