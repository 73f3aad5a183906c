"""A real Nagios 4 runs `quorlin --nagios` through its scheduler against a real peer.

Debian's `nagios4` runs as a plain process in the peer's namespace, with its
own configuration folder in the test's tmp folder and the shipped
contrib/nagios/quorlin.cfg (its program path and arguments pointed at this
test's files). What Nagios recorded is read back: each service's state and
output from status.dat, the performance data as Nagios parsed it into its
perfdata file.
"""

from __future__ import annotations

import re
import shutil
import subprocess
import time
from pathlib import Path

import pytest

from conftest import PEER_KEY, quorlin_command, stop_process
from real_peer import client_config, needs_peer

pytestmark = [needs_peer, pytest.mark.skipif(shutil.which("nagios4") is None,
                                             reason="Debian's nagios4-core is not installed (scripts/install-deps.sh)")]

COMMANDS = Path(__file__).resolve().parents[2] / "contrib" / "nagios" / "quorlin.cfg"
RESULT_TIMEOUT_S = 45.0
STOP_TIMEOUT_S = 30.0
# 'label'=value[UOM];[warn];[crit];[min];[max], as the plugin conventions write it.
PERFDATA = re.compile(r"'([^']+)'=(-?[0-9.]+)(s|B|%)?((?:;[0-9.]*){0,4})(?: |$)")

# What the shipped service needs around it: the template it uses, its host, a
# contact (Nagios insists on one), and a second service whose peer key is wrong.
OBJECTS = """
define service {
    name                generic-service
    register            0
    max_check_attempts  1
    check_interval      10
}
define host {
    host_name           vpn-fra1
    address             127.0.0.1
    max_check_attempts  1
}
define command {
    command_name notify-none
    command_line /bin/true
}
define contact {
    contact_name                  nobody
    host_notifications_enabled    0
    service_notifications_enabled 0
    host_notification_commands    notify-none
    service_notification_commands notify-none
}
define service {
    use                 generic-service
    host_name           vpn-fra1
    service_description WireGuard wrong key
    check_command       check_wireguard!{wrong}!{ping}!200!1000
}
define service {
    use                 generic-service
    host_name           vpn-fra1
    service_description WireGuard silent targets
    check_command       check_wireguard!{good}!10.99.0.77!200!1000!--ping 10.99.0.78 --ping 10.99.0.79 --ping-count 100 --ping-interval-ms 10 --ping-timeout-ms 10 --deadline-ms 20000
}
"""

# Every check at once on start (no spreading), status written every second.
MAIN = """log_file={d}/nagios.log
cfg_file={d}/objects.cfg
cfg_file={d}/quorlin.cfg
object_cache_file={d}/objects.cache
precached_object_file={d}/objects.precache
status_file={d}/status.dat
status_update_interval=1
nagios_user=root
nagios_group=root
check_external_commands=0
lock_file={d}/nagios.lock
temp_file={d}/nagios.tmp
temp_path={d}
check_result_path={d}/checkresults
check_result_reaper_frequency=1
retain_state_information=0
use_syslog=0
enable_notifications=0
enable_event_handlers=0
enable_flap_detection=0
illegal_macro_output_chars=`~$&|"<>
max_service_check_spread=1
service_inter_check_delay_method=n
process_performance_data=1
service_perfdata_file={d}/service-perfdata
service_perfdata_file_template=$SERVICEDESC$\\t$SERVICESTATEID$\\t$SERVICEPERFDATA$
service_perfdata_file_mode=a
service_perfdata_file_processing_interval=0
"""


def services(status: str) -> dict[str, dict[str, str]]:
    """service_description -> its fields, from the servicestatus blocks of status.dat."""
    found = {}
    for block in re.findall(r"^servicestatus \{\n(.*?)\n\t\}", status, re.S | re.M):
        fields = dict(line.strip().split("=", 1) for line in block.splitlines() if "=" in line)
        found[fields["service_description"]] = fields
    return found


def checked(status_file: Path, names: set[str], nagios: subprocess.Popen) -> dict[str, dict[str, str]]:
    deadline = time.monotonic() + RESULT_TIMEOUT_S
    while True:
        found = services(status_file.read_text()) if status_file.exists() else {}
        if names <= {name for name, fields in found.items() if fields.get("has_been_checked") == "1"}:
            return found
        assert nagios.poll() is None, "nagios ended early"
        assert time.monotonic() < deadline, f"nagios checked {sorted(found)} only within {RESULT_TIMEOUT_S} s"
        time.sleep(0.2)


def test_nagios_runs_the_plugin(peer, tmp_path):
    info = peer.info
    good = client_config(tmp_path, info, name="good.conf")
    wrong = client_config(tmp_path, info, name="wrong.conf", peer_key=PEER_KEY)
    ping = info["peer_tunnel_ip"]
    folder = tmp_path / "nagios"
    (folder / "checkresults").mkdir(parents=True)
    shipped = COMMANDS.read_text()
    assert "/usr/local/bin/quorlin " in shipped and "/etc/quorlin/wg-fra1.conf!10.8.0.1!" in shipped
    (folder / "quorlin.cfg").write_text(shipped.replace("/usr/local/bin/quorlin ", quorlin_command() + " ")
                                        .replace("/etc/quorlin/wg-fra1.conf!10.8.0.1!", f"{good}!{ping}!"))
    (folder / "objects.cfg").write_text(OBJECTS.replace("{wrong}", str(wrong)).replace("{ping}", ping)
                                        .replace("{good}", str(good)))
    (folder / "nagios.cfg").write_text(MAIN.format(d=folder))

    preflight = subprocess.run(["nagios4", "-v", str(folder / "nagios.cfg")], capture_output=True, text=True,
                               timeout=STOP_TIMEOUT_S)
    assert preflight.returncode == 0, preflight.stdout

    log = open(folder / "stdout.log", "w")
    nagios = subprocess.Popen(["ip", "netns", "exec", peer.namespace, "nagios4", str(folder / "nagios.cfg")],
                              stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
    log.close()
    try:
        found = checked(folder / "status.dat", {"WireGuard", "WireGuard wrong key", "WireGuard loss", "WireGuard MTU",
                                                "WireGuard silent targets"}, nagios)
    finally:
        stop_process(nagios, STOP_TIMEOUT_S)

    ok, critical = found["WireGuard"], found["WireGuard wrong key"]
    # The shipped examples of the other commands reach the peer with their arguments in place.
    loss, mtu = found["WireGuard loss"], found["WireGuard MTU"]
    assert (loss["current_state"], mtu["current_state"]) == ("0", "0"), (loss, mtu)
    assert "'ping1_pl'=0%;20;60;0;100" in loss["performance_data"], loss
    assert (ok["current_state"], ok["plugin_output"][:15]) == ("0", "WIREGUARD OK - "), ok
    assert (critical["current_state"], critical["plugin_output"][:21]) == ("2", "WIREGUARD CRITICAL - "), critical
    # The summary reached Nagios whole, nothing rewritten; the checks are in the long output.
    assert ";" not in ok["plugin_output"] and ";" not in ok["long_plugin_output"], ok
    assert ok["long_plugin_output"].startswith("ping 10.99.0.1: valid matching reply, round trip "), ok

    # The worst case for Nagios' 8 KiB: 100 echoes to each of three silent
    # targets. The output stays small, so the performance data arrives whole.
    silent = found["WireGuard silent targets"]
    assert silent["current_state"] == "2", silent
    assert all(f"'ping{n}_pl'=100%;;;0;100" in silent["performance_data"] for n in (1, 2, 3)), silent
    assert not re.search(r"[`~$&|\"<>]", silent["plugin_output"] + silent["long_plugin_output"]), silent

    # Nagios' own parse of the performance data: every datum well formed, and
    # the good probe's thresholds where the command line put them.
    recorded = {}
    for line in (folder / "service-perfdata").read_text().splitlines():
        name, state, perfdata = line.split("\t")
        recorded[name] = (state, perfdata)
    assert recorded["WireGuard"] == ("0", ok["performance_data"])
    data = {match[0]: match[1:] for match in PERFDATA.findall(ok["performance_data"])}
    assert len(data) == ok["performance_data"].count("'=") > 0, ok["performance_data"]
    assert {"handshake", "ping1", "sent", "received"} <= set(data)
    assert data["handshake"][1:] == ("s", ";0.200;1.000;0") and 0 < float(data["handshake"][0]) < 1
    assert recorded["WireGuard wrong key"][0] == "2"
    # The failed probe's line too: its sections kept apart as written, and no
    # value that does not exist (a U, which Icinga 2's writers reject).
    assert " - handshake " in critical["plugin_output"] and ": " in critical["plugin_output"], critical
    assert "=U" not in critical["performance_data"] + ok["performance_data"], critical
