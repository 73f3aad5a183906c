"""A prober namespace whose resolver is a real dnsmasq answering late, beside a real peer.

The prober's namespace is joined to the peer's by a veth pair (documentation
addresses 198.51.100.1 and .2). Its resolv.conf names 198.51.100.2, where a
relay (tests/peer/relay.py) in the peer's namespace delays every query
`delay_ms` on its way to a dnsmasq on the peer's 127.0.0.1:53. The dnsmasq
answers every name under `ok.late.test` with the peer's side of the veth
(where wireguard-go listens), and forwards names under `hang.late.test` to a
socket that never answers, so their lookups hang until the system resolver
gives up (long after any probe's deadline). Nothing leaves the machine; every
process, the namespace and its /etc/netns folder are removed on every path.
"""

from __future__ import annotations

import contextlib
import os
import secrets
import shutil
import socket
import subprocess
import time
from pathlib import Path

from real_peer import wgpeer
from relay import Faults, UdpRelay

PROBER_SIDE = "198.51.100.1"
PEER_SIDE = "198.51.100.2"
HEALTHY_DOMAIN = "ok.late.test"
HANGING_DOMAIN = "hang.late.test"
START_TIMEOUT_S = 20.0
# Long enough that a hanging lookup outlives every probe of a test.
RESOLV_CONF = f"nameserver {PEER_SIDE}\noptions timeout:10 attempts:2\n"


def _run(argv: list[str]) -> None:
    subprocess.run(argv, check=True, capture_output=True, timeout=60)


class ProberNamespace:
    """The namespace the command runs in (`run`, `entered`, and `namespace` as ExporterProcess wants)."""

    def __init__(self, name: str):
        self.namespace = name

    def entered(self):
        return wgpeer.entered_namespace(self.namespace)

    def run(self, argv: list[str], *, timeout: float = 60.0) -> subprocess.CompletedProcess:
        return subprocess.run(["ip", "netns", "exec", self.namespace, *argv], capture_output=True, text=True,
                              timeout=timeout, check=False)


@contextlib.contextmanager
def late_resolver(peer: wgpeer.WireGuardPeer, delay_ms: int):
    """Yields the ProberNamespace; the peer must be running."""
    tag = f"{os.getpid() % 100000}{secrets.token_hex(2)}"
    name = f"qlate-{tag}"
    etc = wgpeer.ETC_NETNS_DIR / name
    with contextlib.ExitStack() as stack:
        _run(["ip", "netns", "add", name])
        stack.callback(subprocess.run, ["ip", "netns", "delete", name], capture_output=True, timeout=60)
        etc.mkdir(parents=True, mode=0o755)
        stack.callback(shutil.rmtree, etc, ignore_errors=True)
        (etc / "resolv.conf").write_text(RESOLV_CONF)
        (etc / "hosts").write_text("127.0.0.1\tlocalhost\n::1\tlocalhost\n")
        (etc / "nsswitch.conf").write_text("hosts: files dns\n")
        _run(["ip", "-n", name, "link", "set", "lo", "up"])
        # The veth pair goes with the namespace.
        ours, theirs = f"qlb{tag}", f"qlp{tag}"
        _run(["ip", "-n", name, "link", "add", ours, "type", "veth", "peer", "name", theirs, "netns", peer.namespace])
        _run(["ip", "-n", name, "address", "add", f"{PROBER_SIDE}/30", "dev", ours])
        _run(["ip", "-n", peer.namespace, "address", "add", f"{PEER_SIDE}/30", "dev", theirs])
        _run(["ip", "-n", name, "link", "set", ours, "up"])
        _run(["ip", "-n", peer.namespace, "link", "set", theirs, "up"])

        with peer.entered():
            silent = stack.enter_context(socket.socket(socket.AF_INET, socket.SOCK_DGRAM))
            silent.bind(("127.0.0.1", 0))
        dnsmasq = _start_dnsmasq(peer, silent.getsockname()[1])
        stack.callback(wgpeer._end_process, dnsmasq.pid, dnsmasq)
        stack.enter_context(UdpRelay(peer, to_peer=Faults(delay_ms=delay_ms), target="127.0.0.1:53",
                                     listen=f"{PEER_SIDE}:53"))
        yield ProberNamespace(name)


def _start_dnsmasq(peer: wgpeer.WireGuardPeer, silent_port: int) -> subprocess.Popen:
    log = Path(peer.info["log_dir"]) / "late-dnsmasq.log"
    argv = ["ip", "netns", "exec", peer.namespace, "dnsmasq", "--keep-in-foreground", "--no-resolv", "--no-hosts",
            "--conf-file=/dev/null", "--bind-interfaces", "--listen-address=127.0.0.1", "--port=53",
            "--user=root", "--pid-file=", "--log-facility=-", "--log-queries",
            f"--address=/{HEALTHY_DOMAIN}/{PEER_SIDE}", f"--local=/{HEALTHY_DOMAIN}/",
            f"--server=/{HANGING_DOMAIN}/127.0.0.1#{silent_port}"]
    with open(log, "wb") as out:
        process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                                   start_new_session=True)
    deadline = time.monotonic() + START_TIMEOUT_S
    while (wgpeer._ipv4_hex("127.0.0.1"), 53) not in wgpeer._udp_ports_bound(process.pid):
        if process.poll() is not None or time.monotonic() >= deadline:
            wgpeer._end_process(process.pid, process)
            raise AssertionError(f"dnsmasq did not listen on 127.0.0.1:53: {log.read_text(errors='replace')[-2000:]}")
        time.sleep(0.02)
    return process
