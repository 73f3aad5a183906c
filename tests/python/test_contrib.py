"""The integration files under contrib/, checked by the tools that will read them.

Prometheus' rules and configurations by `promtool` (the rules with their unit
tests), the systemd unit by `systemd-analyze verify`, the Icinga 2 definitions
by `icinga2 daemon -C`; the Nagios and Icinga 2 definitions also run in a real
Nagios and a real Icinga 2 daemon in test_nagios_real_peer.py and
test_icinga2_real_peer.py. All of these run offline, as plain processes.
"""

from __future__ import annotations

import os
import re
import select
import shutil
import subprocess
import tomllib
from pathlib import Path

import pytest

from conftest import quorlin_command

ROOT = Path(__file__).resolve().parents[2]
CONTRIB = ROOT / "contrib"
PROMETHEUS = CONTRIB / "prometheus"
UNIT = CONTRIB / "systemd" / "quorlin-exporter.service"
TOOL_TIMEOUT_S = 60.0


def needs(tool: str, package: str):
    """Skips without `tool`, except in CI, which installs it (scripts/install-deps.sh) and must not skip."""
    return pytest.mark.skipif(shutil.which(tool) is None and os.environ.get("CI") != "true",
                              reason=f"Debian's {package} is not installed (scripts/install-deps.sh)")


def run(*argv, cwd: Path | None = None) -> subprocess.CompletedProcess:
    return subprocess.run(argv, cwd=cwd, capture_output=True, text=True, timeout=TOOL_TIMEOUT_S)


@needs("promtool", "prometheus")
def test_alert_rules_pass_their_unit_tests():
    checked = run("promtool", "check", "rules", "quorlin-alerts.yml", cwd=PROMETHEUS)
    assert checked.returncode == 0, checked.stdout + checked.stderr
    tested = run("promtool", "test", "rules", "quorlin-alerts.test.yml", cwd=PROMETHEUS)
    assert tested.returncode == 0, tested.stdout + tested.stderr


def readme_fleet_targets() -> set[str]:
    """The target names of the README's fleet example."""
    readme = (ROOT / "README.md").read_text()
    block = re.search(r"```toml\n(# /etc/quorlin/fleet\.toml\n.*?)```", readme, re.S)
    assert block, "the README's fleet example was not found"
    return {target["name"] for target in tomllib.loads(block.group(1))["target"]}


@needs("promtool", "prometheus")
@pytest.mark.parametrize("name", ["prometheus.yml", "prometheus-http-sd.yml", "prometheus-vantage-points.yml"])
def test_scrape_configs(name):
    checked = run("promtool", "check", "config", name, cwd=PROMETHEUS)
    assert checked.returncode == 0, checked.stdout + checked.stderr
    # Every job is one the alert rules select, and every target listed by name
    # is one the README's fleet serves (any other is answered with 400).
    text = (PROMETHEUS / name).read_text()
    jobs = re.findall(r"^  - job_name: (\S+)$", text, re.M)
    assert jobs and all(job.startswith("wireguard") for job in jobs), jobs
    for targets in re.findall(r"^      - targets: \[(.*)\]$", text, re.M):
        assert {name.strip() for name in targets.split(",")} <= readme_fleet_targets(), targets


def verify_unit(tmp_path) -> subprocess.CompletedProcess:
    """`systemd-analyze verify` of the shipped unit, which insists that its program exists.

    As root, in a mount namespace of its own where the installed command stands
    at /opt/quorlin/bin/quorlin (the machine's /opt untouched): the file is
    verified as shipped. Elsewhere a copy names the installed command instead."""
    if os.geteuid() != 0:
        unit = tmp_path / UNIT.name
        unit.write_text(UNIT.read_text().replace("/opt/quorlin/bin/quorlin", quorlin_command()))
        return run("systemd-analyze", "verify", str(unit))
    script = ('mount -t tmpfs quorlin-opt /opt && mkdir -p /opt/quorlin/bin && ln -s "$1" /opt/quorlin/bin/quorlin '
              '&& exec systemd-analyze verify "$2"')
    return run("unshare", "--mount", "--propagation", "private", "sh", "-c", script, "sh", quorlin_command(), str(UNIT))


@needs("systemd-analyze", "systemd")
def test_systemd_unit(tmp_path):
    text = UNIT.read_text()
    verified = verify_unit(tmp_path)
    assert (verified.returncode, verified.stdout + verified.stderr) == (0, "")
    # Room for every connection (and the 64 taken beyond the cap while one
    # closes to make room), two descriptors per probe at once and the
    # exporter's reserve, so it never has to run fewer probes than asked.
    concurrency = int(re.search(r"--concurrency (\d+)", text).group(1))
    limit = int(re.search(r"^LimitNOFILE=(\d+)$", text, re.M).group(1))
    assert limit >= 1024 + 64 + 2 * concurrency + 64
    for hardening in ("NoNewPrivileges=yes", "ProtectSystem=strict", "ProtectHome=yes", "PrivateTmp=yes"):
        assert f"\n{hardening}\n" in text
    # The key turns: $XDG_RUNTIME_DIR/quorlin is the runtime folder systemd
    # makes for this user alone (%t is /run for a system service).
    assert re.search(r"^Environment=XDG_RUNTIME_DIR=%t$", text, re.M)
    assert re.search(r"^RuntimeDirectory=quorlin$", text, re.M)
    assert re.search(r"^RuntimeDirectoryMode=0700$", text, re.M)


def test_the_unit_runs_with_the_files_it_names(tmp_path, write_config):
    """The unit's own command line, with its files in a folder here: the exporter starts with an empty
    web file (plain HTTP, no authentication) and refuses to start without one."""
    command = re.search(r"^ExecStart=/opt/quorlin/bin/quorlin (.*)$", UNIT.read_text(), re.M).group(1).split()
    (tmp_path / "fleet.toml").write_text(f'[[target]]\nname = "a"\nconfig = "{write_config()}"\n')
    argv = [quorlin_command(), *[word.replace("/etc/quorlin/", f"{tmp_path}/") for word in command],
            "--listen", "127.0.0.1:0"]
    missing = run(*argv)
    assert (missing.returncode, missing.stdout) == (3, ""), missing.stderr
    assert missing.stderr.startswith(f"quorlin: {tmp_path}/web.yml: "), missing.stderr
    (tmp_path / "web.yml").write_text("")
    with subprocess.Popen(argv, stderr=subprocess.PIPE, text=True) as exporter:
        try:
            assert select.select([exporter.stderr], [], [], TOOL_TIMEOUT_S)[0], "the exporter said nothing"
            assert exporter.stderr.readline().startswith("quorlin: listening on 127.0.0.1:")
        finally:
            exporter.terminate()
            exporter.wait(timeout=TOOL_TIMEOUT_S)


@needs("icinga2", "icinga2-bin")
def test_icinga2_definitions(tmp_path):
    cache = tmp_path / "cache"
    cache.mkdir()
    config = tmp_path / "icinga2.conf"
    config.write_text(f'include "{CONTRIB / "icinga2" / "quorlin.conf"}"\n'
                      'object CheckCommand "dummy" { command = [ "/bin/true" ] }\n'
                      'object Host "vpn-fra1" {\n  check_command = "dummy"\n  vars.wireguard = true\n}\n')
    checked = run("icinga2", "daemon", "-C", "-c", str(config), f"-DCacheDir={cache}",
                  "-DRunAsUser=root", "-DRunAsGroup=root")
    assert checked.returncode == 0, checked.stdout + checked.stderr
    # The apply rule reached the host.
    assert "Instantiated 1 Service." in checked.stdout, checked.stdout


def test_readme_points_to_contrib():
    readme = (ROOT / "README.md").read_text()
    shipped = [path.relative_to(ROOT).as_posix() for path in CONTRIB.rglob("*") if path.is_file()]
    assert [path for path in shipped if path not in readme] == []
