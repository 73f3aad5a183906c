"""A real Icinga 2 daemon runs the shipped CheckCommand against a real peer.

Debian's `icinga2` runs in the foreground in the peer's namespace, with the
checker feature, a PerfdataWriter and its paths in a folder of its own, and
drops to an unprivileged user as it would in production. The shipped
contrib/icinga2/quorlin.conf is used as is but for the program path and the
folder of the configurations; every option comes from host variables, and one
service variable overrides its host's. The PerfdataWriter's lines give back
each service's state, output and performance data.
"""

from __future__ import annotations

import os
import pwd
import re
import shutil
import subprocess
import tempfile
import time
from pathlib import Path

import pytest

from conftest import PEER_KEY, copy_of_command, stop_process
from real_peer import client_config, needs_peer, wgpeer
from relay import Faults, UdpRelay  # tests/peer, on the path through real_peer

pytestmark = [needs_peer, pytest.mark.skipif(shutil.which("icinga2") is None,
                                             reason="Debian's icinga2-bin is not installed (scripts/install-deps.sh)")]

SHIPPED = Path(__file__).resolve().parents[2] / "contrib" / "icinga2" / "quorlin.conf"
USER, GROUP = "nobody", "nogroup"
RESULT_TIMEOUT_S = 90.0
STOP_TIMEOUT_S = 30.0

# A record per check result; the output may span lines, so records are split
# on their marker, not on newlines.
MARK = "@@result"
MAIN = """include "{d}/quorlin.conf"
object CheckerComponent "checker" {{ }}
object PerfdataWriter "perfdata" {{
    service_perfdata_path = "{d}/perfdata/service"
    service_temp_path = "{d}/perfdata/service.tmp"
    host_perfdata_path = "{d}/perfdata/host"
    host_temp_path = "{d}/perfdata/host.tmp"
    service_format_template = "{mark}\\t$host.name$/$service.name$\\t$service.state$\\t$service.perfdata$\\t$service.output$"
    rotation_interval = 1s
}}
object CheckCommand "nothing" {{ command = [ "/bin/true" ] }}
template Host "quiet" {{
    check_command = "nothing"
    enable_active_checks = false
}}
template Service "soon" {{
    check_interval = 2s
    retry_interval = 2s
    max_check_attempts = 1
}}
object Host "vpn-ok" {{
    import "quiet"
    vars.wireguard = true
    vars.wireguard_ping = [ "{ping}" ]
    vars.wireguard_ping_count = 3
    vars.wireguard_ping_interval_ms = 50
    vars.wireguard_warning_ms = 1000
    vars.wireguard_critical_ms = 5000
}}
object Host "vpn-mtu" {{
    import "quiet"
    vars.wireguard = true
    vars.wireguard_ping = [ "{ping}" ]
    vars.wireguard_mtu_check = true
    vars.wireguard_ping_timeout_ms = 200
    vars.wireguard_timeout = 20
}}
object Host "vpn-wrong-key" {{
    import "quiet"
    vars.wireguard = true
    vars.wireguard_ping = [ "{ping}" ]
}}
// A service's variables win over its host's: 100 echoes 50 ms apart (the
// host's interval) do not fit 4 s.
object Service "override" {{
    import "soon"
    host_name = "vpn-ok"
    check_command = "wireguard"
    vars.wireguard_ping_count = 100
    vars.wireguard_timeout = 4
}}
"""


def results(folder: Path) -> dict[str, tuple[str, str, str]]:
    """host/service -> (state, perfdata, output) of its first result."""
    found: dict[str, tuple[str, str, str]] = {}
    for path in sorted(folder.glob("service.[0-9]*")):
        for record in path.read_text().split(MARK + "\t")[1:]:
            name, state, perfdata, output = record.rstrip("\n").split("\t", 3)
            found.setdefault(name, (state, perfdata, output))
    return found


def wait_for(folder: Path, names: set[str], icinga: subprocess.Popen) -> dict[str, tuple[str, str, str]]:
    deadline = time.monotonic() + RESULT_TIMEOUT_S
    while True:
        found = results(folder)
        if names <= set(found):
            return found
        assert icinga.poll() is None, "icinga2 ended early"
        assert time.monotonic() < deadline, f"icinga2 gave results for {sorted(found)} only within {RESULT_TIMEOUT_S} s"
        time.sleep(0.5)


@pytest.fixture(scope="module")
def three_keys():
    """A peer with a client key per host: probes that run at once never move each other's endpoint."""
    with wgpeer.WireGuardPeer(extra_clients=3) as running:
        yield running


def test_icinga2_runs_the_shipped_command(three_keys):
    info = three_keys.info
    ping = info["peer_tunnel_ip"]
    user = pwd.getpwnam(USER)
    # The daemon's user reaches nothing under pytest's own 0700 folders.
    folder = Path(tempfile.mkdtemp(prefix="quorlin-icinga2-"))
    try:
        folder.chmod(0o755)
        for sub in ("cache", "data", "log", "spool", "run/icinga2", "perfdata"):
            (folder / sub).mkdir(parents=True)
        with UdpRelay(three_keys, to_peer=Faults(max_bytes=1200)) as relay:
            clients = info["extra_clients"]
            # The shipped default path, /etc/quorlin/HOSTNAME.conf, moved to this folder.
            for host, client, extra in [("vpn-ok", clients[0], {}),
                                        ("vpn-mtu", clients[1], {"endpoint": relay.endpoint}),
                                        ("vpn-wrong-key", clients[2], {"peer_key": PEER_KEY})]:
                client_config(folder, info, name=f"{host}.conf", private_key=client["private_key"],
                              address=client["address"], **extra)
            # The installed program may sit where the daemon's user cannot
            # reach it (a Python under /root): a copy beside the rest.
            program = copy_of_command(folder)
            program.chmod(0o755)
            shipped = SHIPPED.read_text()
            assert '"/usr/local/bin/quorlin"' in shipped and '"/etc/quorlin/$host.name$.conf"' in shipped
            (folder / "quorlin.conf").write_text(
                shipped.replace('"/usr/local/bin/quorlin"', f'"{program}"')
                .replace('"/etc/quorlin/', f'"{folder}/')
                # checked within seconds, not within Icinga's first minute
                .replace('apply Service "wireguard" {', 'apply Service "wireguard" {\n    import "soon"'))
            (folder / "icinga2.conf").write_text(MAIN.format(d=folder, ping=ping, mark=MARK))
            for path in [folder, *folder.rglob("*")]:
                os.chown(path, user.pw_uid, user.pw_gid)

            constants = [f"-D{name}={folder / sub}" for name, sub in
                         [("CacheDir", "cache"), ("DataDir", "data"), ("LogDir", "log"), ("SpoolDir", "spool"),
                          ("InitRunDir", "run"), ("StateDir", "data")]]
            log = open(folder / "stdout.log", "w")
            icinga = subprocess.Popen(["ip", "netns", "exec", three_keys.namespace, "icinga2", "daemon",
                                       "-c", str(folder / "icinga2.conf"), *constants,
                                       f"-DRunAsUser={USER}", f"-DRunAsGroup={GROUP}"],
                                      stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
            log.close()
            try:
                found = wait_for(folder / "perfdata", {"vpn-ok/wireguard", "vpn-mtu/wireguard",
                                                       "vpn-wrong-key/wireguard", "vpn-ok/override"}, icinga)
            finally:
                stop_process(icinga, STOP_TIMEOUT_S)
        daemon_log = (folder / "stdout.log").read_text()
    finally:
        shutil.rmtree(folder, ignore_errors=True)

    # The apply rule reached exactly the three hosts, and nothing went wrong in the daemon.
    assert "Instantiated 4 Services." in daemon_log, daemon_log
    assert not re.search(r"^\S+ (critical|warning)/", daemon_log, re.M), daemon_log

    state, perfdata, output = found["vpn-ok/wireguard"]
    assert (state, output[:15]) == ("OK", "WIREGUARD OK - "), output
    # The host's thresholds and ping target reached the command (Icinga
    # writes the labels without their quotes).
    assert re.search(r"(^| )handshake=[0-9.]+s;1\.000;5\.000;0( |$)", perfdata), perfdata
    assert " ping1_pl=0%;" in perfdata and "=U" not in perfdata, perfdata

    state, perfdata, output = found["vpn-mtu/wireguard"]
    assert (state, output[:20]) == ("WARNING", "WIREGUARD WARNING - "), output
    assert "1168" in output, output

    state, perfdata, output = found["vpn-wrong-key/wireguard"]
    assert (state, output[:21]) == ("CRITICAL", "WIREGUARD CRITICAL - "), output
    assert "=U" not in perfdata, perfdata

    # Icinga 2 reads stderr as well as stdout (Nagios reads only stdout): the
    # refusal's stderr line comes first, then the plugin line.
    state, perfdata, output = found["vpn-ok/override"]
    refusal = ("--ping-count 100 x --ping-interval-ms 50 cannot finish within --deadline-ms 4000: the echoes to 1 ping "
               "target alone are spread over 4950 ms{} --deadline-ms 8950 would fit the worst case: "
               "--handshake-timeout-ms 3000 + 5950 ms of echoes (the last to each target within --ping-timeout-ms 1000)")
    assert (state, perfdata) == ("UNKNOWN", ""), output
    assert output.splitlines() == ["quorlin: " + refusal.format(";"), "WIREGUARD UNKNOWN - " + refusal.format(",")]
