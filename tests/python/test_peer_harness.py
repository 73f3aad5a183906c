"""The real-peer harness (tests/peer/wgpeer.py) on its own.

Checks that a peer comes up as described (keys, listen port, hosts file) and
that every way of ending it leaves nothing behind. That echo and DNS answers
flow through its tunnel is shown by every test that probes it.
"""

import json
import os
import select
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "peer"))
import wgpeer  # noqa: E402

SCRIPT = Path(wgpeer.__file__)

pytestmark = pytest.mark.skipif(wgpeer.unavailable_reason() is not None,
                                reason=wgpeer.unavailable_reason() or "")


def leftovers(namespace, interface, workdir):
    paths = [Path("/var/run/netns") / namespace, Path("/etc/netns") / namespace,
             Path("/var/run/wireguard") / f"{interface}.sock", Path(workdir),
             Path("/run/quorlin-peer") / f"{namespace}.json"]
    return [str(p) for p in paths if p.exists()]


@pytest.fixture(scope="module")
def peer():
    with wgpeer.WireGuardPeer(preshared_key=True) as running:
        yield running


def test_description_matches_the_running_peer(peer):
    info = peer.info
    assert info["endpoint_ipv4"] == f"127.0.0.1:{info['listen_port']}"
    assert info["endpoint_ipv6"] == f"[::1]:{info['listen_port']}"
    assert info["endpoint_host"] == f"peer.quorlin.test:{info['listen_port']}"
    assert len(info["interface"]) <= 15
    derived = subprocess.run(["wg", "pubkey"], input=info["client_private_key"] + "\n",
                             capture_output=True, text=True, check=True).stdout.strip()
    assert derived == info["client_public_key"]

    shown = peer.run(["wg", "show", info["interface"], "dump"])
    assert shown.returncode == 0, shown.stderr
    interface_line, peer_line = shown.stdout.strip().splitlines()
    _, public, listen_port, _ = interface_line.split("\t")
    assert public == info["peer_public_key"]
    assert int(listen_port) == info["listen_port"]
    client_public, preshared, _, allowed_ips = peer_line.split("\t")[:4]
    assert client_public == info["client_public_key"]
    assert preshared == info["preshared_key"]
    assert allowed_ips == f"{info['client_address']},{info['client_address6']}"


def test_hosts_file_and_resolver_stay_inside(peer):
    lookup = ("import socket, sys\n"
              "print(sorted({a[4][0] for a in socket.getaddrinfo(sys.argv[1], 1, type=socket.SOCK_DGRAM)}))")
    done = peer.run([sys.executable, "-c", lookup, "peer.quorlin.test"])
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "['127.0.0.1', '::1']"
    # A name the hosts file does not know goes to the namespace's own loopback,
    # where nothing answers: it fails at once and never leaves the machine.
    started = time.monotonic()
    done = peer.run([sys.executable, "-c", lookup, "unknown.quorlin.test"], timeout=30)
    assert done.returncode != 0
    assert "gaierror" in done.stderr
    assert time.monotonic() - started < 20  # generous: only guards against a hang
    assert "peer.quorlin.test" not in Path("/etc/hosts").read_text()


def test_entered_switches_this_thread_and_back(peer):
    before = os.readlink("/proc/thread-self/ns/net")
    with peer.entered():
        assert os.readlink("/proc/thread-self/ns/net") != before
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            with pytest.raises(OSError) as error:
                s.bind(("127.0.0.1", peer.info["listen_port"]))  # wireguard-go holds it here
            assert error.value.errno == 98  # EADDRINUSE
    assert os.readlink("/proc/thread-self/ns/net") == before


def test_a_real_client_handshakes_and_leaves_no_trace_but_that(peer):
    info = peer.info

    def namespace_state():
        return (peer.run(["ip", "route", "show", "table", "all"]).stdout, peer.run(["ip", "-o", "link"]).stdout,
                sorted(wgpeer._namespace_pids(info["namespace"])),
                sorted(key.name for key in Path(info["log_dir"]).glob("*.key")))

    before = namespace_state()
    at = peer.real_client_handshake()
    client_key, seen_at = peer.run(["wg", "show", info["interface"], "latest-handshakes"]).stdout.split()
    assert client_key == info["client_public_key"]
    assert at > 0 and abs(int(seen_at) - at) <= 2  # the peer's clock and the client's, one second apart at most
    assert namespace_state() == before
    [client_log] = Path(info["log_dir"]).glob("qc*.log")  # named after the client's interface
    assert not Path("/var/run/wireguard", client_log.stem + ".sock").exists()


def test_stop_leaves_nothing_behind():
    running = wgpeer.WireGuardPeer()
    info = running.start()
    pids = [p.pid for p in running._processes]
    assert len(pids) == 2 and all(wgpeer._is_alive(pid) for pid in pids)
    # A process a test started inside the namespace ends with the peer too.
    sleeper = running.run(["sh", "-c", "sleep 300 >/dev/null 2>&1 & echo $!"])
    sleeper_pid = int(sleeper.stdout)
    running.stop()
    assert leftovers(info["namespace"], info["interface"], info["log_dir"]) == []
    assert not any(wgpeer._is_alive(pid) for pid in pids + [sleeper_pid])
    running.stop()  # twice is harmless


def test_a_start_that_fails_midway_is_undone(monkeypatch):
    names = []
    unique_names = wgpeer._unique_names
    monkeypatch.setattr(wgpeer, "_unique_names", lambda: names.append(unique_names()) or names[-1])
    running = wgpeer.WireGuardPeer()
    # dnsmasq refuses an unknown option and exits: the last step of the start.
    monkeypatch.setattr(running, "_dnsmasq_command", lambda address: ["dnsmasq", "--no-such-option"])
    with pytest.raises(wgpeer.PeerError, match="dnsmasq is not listening"):
        running.start()
    [(namespace, interface)] = names
    assert leftovers(namespace, interface, "/nonexistent") == []
    assert list(Path(tempfile.gettempdir()).glob(f"{namespace}-*")) == []
    assert running.namespace is None


@pytest.mark.parametrize("kwargs, message", [
    ({"records": [("bad name!", "192.0.2.1")]}, "record name"),
    ({"records": {"x.quorlin.test": "300.0.0.1"}}, "record address"),
    ({"records": [("a/b", "192.0.2.1")]}, "record name"),
])
def test_bad_options_are_refused_before_anything_starts(kwargs, message):
    with pytest.raises(wgpeer.PeerError, match=message):
        wgpeer.WireGuardPeer(**kwargs)


def test_command_line_start_then_stop_by_name():
    started = subprocess.run([sys.executable, str(SCRIPT), "start", "--no-dns"],
                             capture_output=True, text=True, timeout=60)
    assert started.returncode == 0, started.stdout + started.stderr
    info = json.loads(started.stdout)
    assert info["endpoint_ipv4"] == "127.0.0.1:51820"
    assert info["dns_address"] is None
    assert Path("/var/run/netns", info["namespace"]).exists()
    stopped = subprocess.run([sys.executable, str(SCRIPT), "stop", info["namespace"]],
                             capture_output=True, text=True, timeout=60)
    assert stopped.returncode == 0, stopped.stdout + stopped.stderr
    assert leftovers(info["namespace"], info["interface"], info["log_dir"]) == []
    again = subprocess.run([sys.executable, str(SCRIPT), "stop", info["namespace"]],
                           capture_output=True, text=True, timeout=60)
    assert again.returncode == 1 and "no such peer" in again.stdout


@pytest.mark.parametrize("ending", ["close stdin", "SIGTERM"])
def test_serve_tears_down_when_its_owner_lets_go(ending):
    serving = subprocess.Popen([sys.executable, str(SCRIPT), "serve", "--no-dns"], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, text=True)
    try:
        assert select.select([serving.stdout], [], [], 60)[0], "no peer description within 60 s"
        info = json.loads(serving.stdout.readline())
        assert Path("/var/run/netns", info["namespace"]).exists()
        if ending == "close stdin":
            serving.stdin.close()
        else:
            serving.terminate()
        assert serving.wait(timeout=60) == 0
        assert leftovers(info["namespace"], info["interface"], info["log_dir"]) == []
    finally:
        if serving.poll() is None:
            serving.stdin.close()  # lets it tear the peer down; a kill would leave it behind
            try:
                serving.wait(timeout=60)
            except subprocess.TimeoutExpired:
                serving.kill()
                serving.wait()
