"""A real Prometheus, configured by the files in contrib/prometheus/, scrapes
`quorlin exporter` serving the README's fleet example, which probes a real
WireGuard peer.

The fleet file is the README's own, only its keys are the test peer's; the
Prometheus configurations and alert rules are the shipped ones, only their
intervals shortened. Debian's `prometheus` runs as a plain process in the
peer's namespace (so it shares the exporter's loopback) with a temporary
storage folder. Its HTTP API must then show each target's probe_success,
plugin state and per-check verdicts for OK, WARNING and CRITICAL targets, the
fleet file's labels on discovered targets, and each shipped alert pending for
exactly the targets in its state. The discovery job also asks for a `module`, as
one copied from another multi-target exporter would: still `up` 1.
"""

from __future__ import annotations

import json
import os
import re
import shutil
import subprocess
import time
import urllib.parse
import urllib.request
from pathlib import Path

import pytest

from conftest import stop_process
from exporter_process import ExporterProcess
from real_peer import client_config, needs_peer

pytestmark = [needs_peer, pytest.mark.skipif(shutil.which("prometheus") is None,
                                             reason="Debian's prometheus is not installed (scripts/install-deps.sh)")]

ROOT = Path(__file__).resolve().parents[2]
EXPORTER = "127.0.0.1:9723"    # the default address; the namespace is the test's own
PROMETHEUS = "127.0.0.1:9090"
RESULT_TIMEOUT_S = 60.0
README_PEER_KEY = "CWAsycgZwaxgamcVgA1vv/wFHEqT2hvk78xiGhtzqwk="
EXPECTED_SUCCESS = {"lab-conf": "1", "lab-by-name": "1", "lab-wrong-key": "0", "lab-closed-port": "0",
                    "lab-partial": "0"}
# The plugin state of each: lab-partial's second ping target does not answer.
EXPECTED_STATE = {"lab-conf": "0", "lab-by-name": "0", "lab-wrong-key": "2", "lab-closed-port": "2",
                  "lab-partial": "1"}


def write_readme_fleet(directory: Path, info: dict) -> Path:
    """The README's fleet example with the test peer's keys, and the files it names."""
    readme = (ROOT / "README.md").read_text()
    fleet = re.search(r"```toml\n(# /etc/quorlin/fleet\.toml\n.*?)```", readme, re.S).group(1)
    assert fleet.count(README_PEER_KEY) == 2
    client_config(directory, info, name="wg-lab.conf")
    fd = os.open(directory / "monitor.key", os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    with os.fdopen(fd, "w") as f:
        f.write(info["client_private_key"] + "\n")
    path = directory / "fleet.toml"
    path.write_text(fleet.replace(README_PEER_KEY, info["peer_public_key"]))
    return path


def query(peer, expression: str) -> list[dict]:
    url = f"http://{PROMETHEUS}/api/v1/query?" + urllib.parse.urlencode({"query": expression})
    with peer.entered(), urllib.request.urlopen(url, timeout=10) as response:
        answer = json.load(response)
    assert answer["status"] == "success"
    return answer["data"]["result"]


def probe_results(peer, timeout: float, expected: dict = EXPECTED_SUCCESS) -> dict[str, tuple[str, dict]]:
    """instance -> (latest probe_success, labels), once every target has its expected value."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            results = {series["metric"]["instance"]: (series["value"][1], series["metric"])
                       for series in query(peer, 'probe_success{job="wireguard"}')}
        except OSError:
            results = {}  # Prometheus is still starting
        if {instance: value for instance, (value, _) in results.items()} == expected:
            return results
        if time.monotonic() >= deadline:
            return results
        time.sleep(0.5)


def run_prometheus(peer, tmp_path, config_name: str):
    """Prometheus with a shipped configuration and the alert rules, in the peer's namespace; stopped by the caller."""
    for name in (config_name, "quorlin-alerts.yml"):
        text = (ROOT / "contrib" / "prometheus" / name).read_text()
        if name == config_name:
            assert "  scrape_interval: 1m\n  scrape_timeout: 10s\n" in text
            text = text.replace("  scrape_interval: 1m\n  scrape_timeout: 10s\n",
                                "  scrape_interval: 1s\n  scrape_timeout: 1s\n  evaluation_interval: 1s\n")
            # A job copied from another multi-target exporter asks for a module: ignored.
            if name == "prometheus-http-sd.yml":
                assert "    metrics_path: /probe\n" in text
                text = text.replace("    metrics_path: /probe\n",
                                    "    metrics_path: /probe\n    params:\n      module: [wireguard]\n")
        (tmp_path / name).write_text(text)
    return start_prometheus(peer, tmp_path, tmp_path / config_name)


def start_prometheus(peer, tmp_path, config: Path):
    """Prometheus with `config`, in the peer's namespace; stopped by the caller."""
    storage = tmp_path / "prometheus-data"
    storage.mkdir()
    log = open(tmp_path / "prometheus.log", "w")
    try:
        return subprocess.Popen(
            ["ip", "netns", "exec", peer.namespace, "prometheus", f"--config.file={config}",
             f"--storage.tsdb.path={storage}", f"--web.listen-address={PROMETHEUS}"],
            stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT, cwd=tmp_path)
    finally:
        log.close()


@pytest.mark.parametrize("config_name", ["prometheus.yml", "prometheus-http-sd.yml"])
def test_prometheus_scrapes_the_readme_fleet(peer, tmp_path, config_name):
    fleet = write_readme_fleet(tmp_path, peer.info)
    with ExporterProcess(peer, fleet, "--log.level", "debug", listen=EXPORTER) as exporter:
        prometheus = run_prometheus(peer, tmp_path, config_name)
        try:
            results = probe_results(peer, RESULT_TIMEOUT_S)
            log = (tmp_path / "prometheus.log").read_text()[-3000:]
            assert {instance: value for instance, (value, _) in results.items()} == EXPECTED_SUCCESS, log
            up = {series["metric"]["instance"]: series["value"][1] for series in query(peer, 'up{job="wireguard"}')}
            assert up == dict.fromkeys(EXPECTED_SUCCESS, "1")
            # The state a plugin would show, and each check's own verdict:
            # the first ping target fails only where the handshake does.
            states = {series["metric"]["instance"]: series["value"][1]
                      for series in query(peer, 'quorlin_probe_state{job="wireguard"}')}
            assert states == EXPECTED_STATE
            checks = {(series["metric"]["instance"], series["metric"]["target"]): series["value"][1]
                      for series in query(peer, 'quorlin_check_success{check="ping"}')}
            assert checks == {**{(instance, "10.99.0.1"): "0" if state == "2" else "1"
                                 for instance, state in EXPECTED_STATE.items()},
                              ("lab-partial", "10.99.0.77"): "0"}
            if config_name == "prometheus-http-sd.yml":
                labels = {instance: {key: metric.get(key) for key in ("env", "site")}
                          for instance, (_, metric) in results.items()}
                assert labels["lab-conf"] == {"env": "lab", "site": "ns1"}
                assert labels["lab-wrong-key"] == {"env": "lab", "site": None}
            # The rules evaluate against the real series: each alert is
            # pending exactly for the targets in its state. Until the rules
            # run again after the first scrapes, WireGuardProbesAbsent may
            # still be pending, without an instance.
            expected_alerts = {("WireGuardEndpointDown", "lab-wrong-key"), ("WireGuardEndpointDown", "lab-closed-port"),
                               ("WireGuardDegraded", "lab-partial"), ("WireGuardCheckFailing", "lab-partial")}
            deadline = time.monotonic() + RESULT_TIMEOUT_S
            while True:
                pending = {(series["metric"]["alertname"], series["metric"].get("instance"))
                           for series in query(peer, "ALERTS")}
                if pending == expected_alerts or time.monotonic() >= deadline:
                    break
                time.sleep(0.5)
            assert pending == expected_alerts
        finally:
            stop_process(prometheus)
    # Each scrape's module reached the exporter, which said it ignored it.
    ignored = 'quorlin: ignored module "wireguard" from 127.0.0.1: each target is probed as the fleet file says'
    assert (ignored in exporter.log) == (config_name == "prometheus-http-sd.yml")
