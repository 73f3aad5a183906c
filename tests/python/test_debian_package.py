"""The Debian package, built by scripts/build-deb.sh once per run of this module (QUORLIN_DEB=PATH takes
one built before), installed with apt, used, removed and purged. Needs root and the packaging tools;
elsewhere it says why and skips, never under CI=true. An installed quorlin package is refused."""

from __future__ import annotations

import glob
import grp
import os
import pwd
import re
import shutil
import subprocess
import tempfile
import tomllib
from pathlib import Path

import pytest

from exporter_process import ExporterProcess
from real_peer import client_config, wgpeer

ROOT = Path(__file__).resolve().parents[2]
VERSION = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["version"]
UNIT = "/lib/systemd/system/quorlin-exporter.service"
EXAMPLES = "/usr/share/doc/quorlin/examples"
BUILD_TIMEOUT_S = 3600.0  # a whole native build on a busy 2-core machine
TOOL_TIMEOUT_S = 300.0
MISSING = [tool for tool in ("dpkg-buildpackage", "dh", "lintian", "apt-get") if shutil.which(tool) is None]
UNAVAILABLE = ("installing a package needs root" if os.geteuid() != 0 else
               f"not installed: {', '.join(MISSING)} (scripts/install-deps.sh)" if MISSING else
               wgpeer.unavailable_reason())
pytestmark = pytest.mark.skipif(UNAVAILABLE is not None and os.environ.get("CI") != "true", reason=UNAVAILABLE or "")


def run(*argv: str, timeout: float = TOOL_TIMEOUT_S) -> subprocess.CompletedProcess:
    return subprocess.run(argv, capture_output=True, text=True, timeout=timeout,
                          env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))


def present() -> bool:  # installed, or removed with its configuration kept
    status = run("dpkg-query", "-W", "-f=${Status}", "quorlin").stdout
    return status != "" and not status.endswith(" not-installed")


@pytest.fixture(scope="module")
def package() -> list[str]:
    """The package installed; yields what `dpkg -L` lists. Purged on every way out."""
    assert not present(), "quorlin is installed already: dpkg --purge quorlin first"
    forget_system_user()
    arch = run("dpkg", "--print-architecture").stdout.strip()
    deb = Path(os.environ.get("QUORLIN_DEB") or ROOT / "build" / "deb" / f"quorlin_{VERSION}_{arch}.deb")
    if "QUORLIN_DEB" not in os.environ:
        built = run("bash", str(ROOT / "scripts" / "build-deb.sh"), timeout=BUILD_TIMEOUT_S)
        assert built.returncode == 0, built.stdout[-4000:] + built.stderr[-4000:]
    assert deb.name == f"quorlin_{VERSION}_{arch}.deb"
    try:
        done = run("apt-get", "install", "-y", "--no-install-recommends", str(deb.resolve()))
        assert done.returncode == 0, done.stdout + done.stderr
        yield run("dpkg", "-L", "quorlin").stdout.splitlines()
    finally:
        if present():
            run("dpkg", "--purge", "quorlin")


def forget_system_user() -> None:
    """Removes the quorlin user an earlier install left, so that this install must make it again."""
    if user := next((user for user in pwd.getpwall() if user.pw_name == "quorlin"), None):
        assert (user.pw_dir, user.pw_uid < 1000) == ("/nonexistent", True), f"a quorlin user not the package's: {user}"
        assert run("userdel", "quorlin").returncode == 0
    if "quorlin" in {group.gr_name for group in grp.getgrall()}:
        assert run("groupdel", "quorlin").returncode == 0


@pytest.mark.parametrize("path, mode", [
    ("/usr/bin/quorlin", 0o755),
    ("/usr/libexec/quorlin/quorlin-exporter", 0o755),
    (UNIT, 0o644),
    ("/usr/share/doc/quorlin/copyright", 0o644),
    *[(f"{EXAMPLES}/{name}", 0o644) for name in (
        "fleet.toml", "web.yml", "nagios/quorlin.cfg", "icinga2/quorlin.conf", "prometheus/prometheus.yml",
        "prometheus/prometheus-http-sd.yml", "prometheus/prometheus-vantage-points.yml",
        "prometheus/quorlin-alerts.yml", "prometheus/quorlin-alerts.test.yml")],
    *[(f"/usr/share/man/{page}.gz", 0o644) for page in ("man1/quorlin.1", "man1/quorlin-fleet.1",
      "man1/quorlin-exporter.1", "man5/quorlin-fleet.5", "man5/quorlin-web-config.5")],
])
def test_installed_file(package, path, mode):
    assert path in package
    assert (Path(path).is_file(), Path(path).stat().st_mode & 0o7777) == (True, mode)
    if path in (UNIT, f"{EXAMPLES}/nagios/quorlin.cfg", f"{EXAMPLES}/icinga2/quorlin.conf"):  # they run it
        assert set(re.findall(r"(?<![\w.-])/[\w/.-]*bin/quorlin\b(?![\w./-])", Path(path).read_text())) == \
            {"/usr/bin/quorlin"}


def test_the_system_user_and_no_configuration(package):
    user = pwd.getpwnam("quorlin")
    assert (user.pw_dir, user.pw_shell, grp.getgrgid(user.pw_gid).gr_name, user.pw_uid < 1000) == \
        ("/nonexistent", "/usr/sbin/nologin", "quorlin", True)
    # No conffile, an empty /etc/quorlin: an upgrade never asks about, or replaces, a user's file.
    assert run("dpkg-query", "-W", "-f=${Conffiles}", "quorlin").stdout == ""
    assert ([p for p in package if p.startswith("/etc/")], os.listdir("/etc/quorlin")) == (["/etc/quorlin"], [])


def test_unit_verifies(package):
    verified = run("systemd-analyze", "verify", UNIT)
    assert (verified.returncode, verified.stdout + verified.stderr) == (0, "")


@pytest.mark.parametrize("extra, status, output", [
    (["--version"], 0, f"quorlin {VERSION}\n"),
    (["{config}", "--ping", "{peer_tunnel_ip}", "--resolve", "ok.quorlin.test", "--nagios"], 0,
     "WIREGUARD OK - data_plane_confirmed at {endpoint_ipv4}"),
])
def test_installed_command(package, peer, tmp_path, extra, status, output):
    values = dict(peer.info, config=client_config(tmp_path, peer.info))
    done = peer.run(["/usr/bin/quorlin", *[word.format(**values) for word in extra]])
    assert (done.returncode, done.stderr) == (status, "")
    assert done.stdout.startswith(output.format(**values)), done.stdout


def test_exporter_runs_as_its_unit_runs_it(package, peer):
    """The unit's ExecStart as its user, /etc/quorlin a folder of this test's mounted for this process
    alone, key turns in $XDG_RUNTIME_DIR/quorlin (0700, the user's: what RuntimeDirectory= makes)."""
    unit = Path(UNIT).read_text()
    assert re.search(r"^User=quorlin$", unit, re.M) and re.search(r"^RuntimeDirectory=quorlin$", unit, re.M)
    user = pwd.getpwnam("quorlin")
    with tempfile.TemporaryDirectory() as scratch:
        Path(scratch).chmod(0o755)
        etc, runtime = Path(scratch, "etc"), Path(scratch, "run")
        etc.mkdir(mode=0o700)
        (runtime / "quorlin").mkdir(mode=0o700, parents=True)
        client_config(etc, peer.info, name="good.conf")
        (etc / "fleet.toml").write_text(f'[[target]]\nname = "good"\nconfig = "good.conf"\n'
                                        f'ping = ["{peer.info["peer_tunnel_ip"]}"]\n')
        (etc / "web.yml").write_text("")
        for path in (etc, runtime / "quorlin", *etc.iterdir()):
            os.chown(path, user.pw_uid, user.pw_gid)
        argv = ["unshare", "--mount", "--propagation", "private", "sh", "-c",
                'mount --bind "$0" /etc/quorlin && exec "$@"', str(etc), "setpriv", "--reuid", "quorlin",
                "--regid", "quorlin", "--init-groups", "--reset-env", "env", f"XDG_RUNTIME_DIR={runtime}",
                *re.search(r"^ExecStart=(/usr/bin/quorlin .*)$", unit, re.M).group(1).split()]
        with ExporterProcess(peer, None, argv=argv) as exporter:
            assert re.search(rf"^Uid:\t{user.pw_uid}\t", Path(f"/proc/{exporter.proc.pid}/status").read_text(), re.M)
            status, _, body = exporter.request("/probe?target=good")
            assert (status, "\nprobe_success 1\n" in body) == (200, True), body
            turns = list((runtime / "quorlin").glob("??/*.turn"))
            assert turns and all(path.stat().st_uid == user.pw_uid for path in turns)
            assert exporter.stop() == 0, exporter.log


def test_removal_leaves_nothing(package):
    """Runs last: removal leaves no file of the package, purge no folder but those other packages own
    too (and the system user, as Debian leaves it)."""
    for action in ("-r", "--purge"):
        done = run("dpkg", action, "quorlin")
        assert done.returncode == 0, done.stdout + done.stderr
    left = [path for path in package if os.path.lexists(path) and path != "/."]
    owned = {line.split(": ", 1)[1] for line in run("dpkg-query", "-S", *left).stdout.splitlines()} if left else set()
    assert ([path for path in left if path not in owned or not os.path.isdir(path)], present()) == ([], False)
    assert glob.glob("/var/lib/systemd/deb-systemd-helper-*/**/quorlin*", recursive=True) == []
    pwd.getpwnam("quorlin")
