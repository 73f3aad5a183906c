"""A real Prometheus scrapes `quorlin exporter`, which probes a real WireGuard peer.

Debian's `prometheus` runs as a plain process in the peer's namespace (so it
shares the exporter's loopback) with a temporary storage folder, once with the
multi-target relabeling config and once discovering the targets from the
exporter's /targets. Its HTTP API must then show probe_success 1 for the good
target, 0 for the wrong-key one, and the fleet file's labels on discovered
targets.
"""

from __future__ import annotations

import json
import shutil
import subprocess
import time
import urllib.parse
import urllib.request

import pytest

from exporter_process import ExporterProcess, write_fleet
from real_peer import needs_peer

pytestmark = [needs_peer, pytest.mark.skipif(shutil.which("prometheus") is None,
                                             reason="Debian's prometheus is not installed (scripts/install-deps.sh)")]

EXPORTER = "127.0.0.1:9723"    # the default address; the namespace is the test's own
PROMETHEUS = "127.0.0.1:9090"
RESULT_TIMEOUT_S = 60.0
STOP_TIMEOUT_S = 30.0

RELABELING = f"""
    relabel_configs:
      - source_labels: [__address__]
        target_label: __param_target
      - source_labels: [__param_target]
        target_label: instance
      - target_label: __address__
        replacement: {EXPORTER}
"""

STATIC_JOB = f"""
  - job_name: wireguard
    metrics_path: /probe
    static_configs:
      - targets: [good, wrong-key]
""" + RELABELING

DISCOVERED_JOB = f"""
  - job_name: wireguard
    metrics_path: /probe
    http_sd_configs:
      - url: http://{EXPORTER}/targets
""" + RELABELING


def query(peer, expression: str) -> list[dict]:
    url = f"http://{PROMETHEUS}/api/v1/query?" + urllib.parse.urlencode({"query": expression})
    with peer.entered(), urllib.request.urlopen(url, timeout=10) as response:
        answer = json.load(response)
    assert answer["status"] == "success"
    return answer["data"]["result"]


def probe_results(peer, timeout: float) -> dict[str, tuple[str, dict]]:
    """instance -> (latest probe_success, labels), once both targets have been scraped."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            results = {series["metric"]["instance"]: (series["value"][1], series["metric"])
                       for series in query(peer, 'probe_success{job="wireguard"}')}
        except OSError:
            results = {}  # Prometheus is still starting
        if results.get("good", ("",))[0] == "1" and results.get("wrong-key", ("",))[0] == "0":
            return results
        if time.monotonic() >= deadline:
            return results
        time.sleep(0.5)


def run_prometheus(peer, tmp_path, job: str):
    """Prometheus with `job`, in the peer's namespace; stopped by the caller."""
    config = tmp_path / "prometheus.yml"
    config.write_text("global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\nscrape_configs:" + job)
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


def stop(process: subprocess.Popen) -> None:
    process.terminate()
    try:
        process.wait(timeout=STOP_TIMEOUT_S)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait(timeout=STOP_TIMEOUT_S)


@pytest.mark.parametrize("job", [STATIC_JOB, DISCOVERED_JOB], ids=["relabeling", "http_sd"])
def test_prometheus_scrapes_the_exporter(peer, tmp_path, job):
    fleet = write_fleet(tmp_path, peer.info)
    with ExporterProcess(peer, fleet, listen=EXPORTER):
        prometheus = run_prometheus(peer, tmp_path, job)
        try:
            results = probe_results(peer, RESULT_TIMEOUT_S)
            log = (tmp_path / "prometheus.log").read_text()[-3000:]
            assert {instance: value for instance, (value, _) in results.items()} == {"good": "1", "wrong-key": "0"}, log
            up = {series["metric"]["instance"]: series["value"][1] for series in query(peer, 'up{job="wireguard"}')}
            assert up == {"good": "1", "wrong-key": "1"}
            if job is DISCOVERED_JOB:
                labels = {instance: {key: metric.get(key) for key in ("region", "site")}
                          for instance, (_, metric) in results.items()}
                assert labels == {"good": {"region": "eu-central", "site": "dc1"},
                                  "wrong-key": {"region": "us-east", "site": None}}
        finally:
            stop(prometheus)
