"""The repaired wheel in a fresh venv: no compiler, no -dev package and no build tool on its path.

scripts/build-wheel.sh builds it once per run of this module (QUORLIN_WHEEL=PATH takes one built
before, as scripts/test.sh does). The venv has no access to this interpreter's packages; its
programs find the libraries bundled in quorlin.libs from where pip put them.
"""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from exporter_process import ExporterProcess
from real_peer import client_config

ROOT = Path(__file__).resolve().parents[2]
BUILD_TIMEOUT_S = 3600.0  # a whole native build on a busy 2-core machine
TOOL_TIMEOUT_S = 300.0
pytestmark = pytest.mark.skipif(shutil.which("auditwheel") is None and os.environ.get("CI") != "true",
                                reason="auditwheel is not installed (scripts/install-deps.sh)")


def run(*argv: str | Path, timeout: float = TOOL_TIMEOUT_S) -> subprocess.CompletedProcess:
    # Nothing of the build environment reaches the venv's programs.
    env = {"PATH": "/usr/bin:/bin", "LANG": "C.UTF-8"}
    return subprocess.run([str(word) for word in argv], capture_output=True, text=True, timeout=timeout, env=env)


@pytest.fixture(scope="module")
def wheel() -> Path:
    if path := os.environ.get("QUORLIN_WHEEL"):
        return Path(path)
    built = subprocess.run(["bash", str(ROOT / "scripts" / "build-wheel.sh")], capture_output=True, text=True,
                           timeout=BUILD_TIMEOUT_S)
    assert built.returncode == 0, built.stdout[-4000:] + built.stderr[-4000:]
    return Path(built.stdout.splitlines()[-1])


@pytest.fixture(scope="module")
def venv(wheel, tmp_path_factory) -> Path:
    root = tmp_path_factory.mktemp("wheel") / "venv"
    made = subprocess.run([sys.executable, "-m", "venv", root], capture_output=True, text=True, timeout=TOOL_TIMEOUT_S)
    assert made.returncode == 0, made.stderr
    done = run(root / "bin" / "python", "-m", "pip", "install", "--quiet", "--no-index", "--no-deps", wheel)
    assert done.returncode == 0, done.stdout + done.stderr
    return root


def test_auditwheel_names_the_manylinux_tag(wheel):
    shown = subprocess.run(["auditwheel", "show", wheel], capture_output=True, text=True, timeout=TOOL_TIMEOUT_S)
    tag = re.search(r'consistent with\s+the following platform tag:\s+"(manylinux_2_\d+_x86_64)"', shown.stdout)
    assert tag, shown.stdout + shown.stderr
    assert wheel.name.endswith(f"-{tag.group(1)}.whl")


def test_probe_from_python(venv, peer, tmp_path):
    script = ("import sys, quorlin\n"
              "report = quorlin.probe_file(sys.argv[1], ping=[sys.argv[2]])\n"
              "print(report.verdict, quorlin.__file__)\n")
    done = peer.run([str(venv / "bin" / "python"), "-I", "-c", script, str(client_config(tmp_path, peer.info)),
                     peer.info["peer_tunnel_ip"]])
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == f"data_plane_confirmed {venv}/lib/python3.{sys.version_info.minor}/site-packages/quorlin/__init__.py\n"


def test_bundled_command_and_exporter(venv, peer, tmp_path):
    command = str(venv / "bin" / "quorlin")
    config = client_config(tmp_path, peer.info)
    done = peer.run([command, str(config), "--ping", peer.info["peer_tunnel_ip"], "--nagios"])
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout.startswith(f"WIREGUARD OK - data_plane_confirmed at {peer.info['endpoint_ipv4']}"), done.stdout
    fleet = tmp_path / "fleet.toml"
    fleet.write_text(f'[[target]]\nname = "good"\nconfig = "{config}"\nping = ["{peer.info["peer_tunnel_ip"]}"]\n')
    # `quorlin exporter` hands over to the exporter installed under the venv's libexec.
    with ExporterProcess(peer, None, argv=[command, "exporter", "--fleet", str(fleet), "--listen", "127.0.0.1:0"]) \
            as exporter:
        status, _, body = exporter.request("/probe?target=good")
        assert (status, "\nprobe_success 1\n" in body) == (200, True), body
        assert exporter.stop() == 0, exporter.log
