"""TLS and HTTP checks through the tunnel against the real peer: `openssl
s_server` and Python's http.server run in the peer's namespace on its tunnel
address, with certificates made at test time; names resolve through the
peer's dnsmasq; the relay plays the path-MTU black hole."""

from __future__ import annotations

import json
import re

import pytest

from pki import make_authority, make_leaf
from real_peer import client_config, needs_peer, wgpeer
from relay import Faults, UdpRelay  # tests/peer, on the path through real_peer
from tunnel_services import http_server, tls_server

pytestmark = needs_peer

NAME = "web.quorlin.test"  # dnsmasq answers it with the tunnel address
PLAIN = 8080


@pytest.fixture(scope="module")
def peer():
    with wgpeer.WireGuardPeer(records=[(NAME, "10.99.0.1")]) as running:
        yield running


@pytest.fixture(scope="module")
def pki(tmp_path_factory):
    folder = tmp_path_factory.mktemp("pki")
    make_authority(folder, "ca")
    make_authority(folder, "other")
    names = f"IP:10.99.0.1,DNS:{NAME}"
    return folder, {
        "good": make_leaf(folder, "good", "ca", names=names),
        "stranger": make_leaf(folder, "stranger", "other", names=names),
        "expired": make_leaf(folder, "expired", "ca", names=names, start="20200101000000Z", end="20200201000000Z"),
        "early": make_leaf(folder, "early", "ca", names=names, start="20990101000000Z", end="20990201000000Z"),
        "elsewhere": make_leaf(folder, "elsewhere", "ca", names="DNS:elsewhere.test"),
        # A chain big enough that the server's first flight fills whole segments.
        "big": make_leaf(folder, "big", "ca", names=names, key="rsa:3072"),
    }


def plugin_lines(done) -> tuple[str, list[str]]:
    first, *long_output = done.stdout.splitlines()
    return first, long_output


# One server per certificate; every case goes to the CA file's trust but the
# system store case. A certificate is made valid for 2 days: whole days left
# are 2 within its first second, 1 after.
TLS_CASES = {
    "trusted, by address": ("good", "10.99.0.1", True, 0,
                            r"TLS 1\.3, certificate CN=good valid until \d{4}-\d\d-\d\d \((1 day|2 days)\)"),
    "trusted, by name through the tunnel's DNS": ("good", NAME, True, 0,
                                                  rf"{NAME} is 10\.99\.0\.1, TLS 1\.3, certificate CN=good .*\((1 day|2 days)\)"),
    "the system store does not know the CA": ("good", "10.99.0.1", False, 2, r".*: certificate not trusted"),
    "another CA": ("stranger", "10.99.0.1", True, 2, r".*: certificate not trusted"),
    "expired": ("expired", "10.99.0.1", True, 2,
                r"TLS 1\.3, certificate CN=expired expired on 2020-02-01 \(-\d+ days\): certificate expired"),
    "not yet valid": ("early", "10.99.0.1", True, 2, r".*valid until 2099-02-01 .*: certificate not yet valid"),
    "name mismatch": ("elsewhere", "10.99.0.1", True, 2, r".*: certificate name mismatch"),
}


@pytest.mark.parametrize("leaf, host, ca_file, status, detail", TLS_CASES.values(), ids=TLS_CASES.keys())
def test_tls_checks(peer, prober, pki, tmp_path, leaf, host, ca_file, status, detail):
    folder, leaves = pki
    port = 8443 + list(leaves).index(leaf)
    with tls_server(peer, port, *leaves[leaf]):
        argv = [str(client_config(tmp_path, peer.info)), "--tls", f"{host}:{port}", "--nagios"]
        done = prober.command(*argv, *(["--ca-file", str(folder / "ca.crt")] if ca_file else []))
    first, long_output = plugin_lines(done)
    assert done.returncode == status, done.stdout
    assert re.fullmatch(rf"tls {re.escape(host)}:{port}: {detail}", long_output[0]), long_output
    if status == 0:
        assert re.search(r" 'tls1'=0\.\d{6}s;;;0 'tls1_days'=[12] ", first), first


def test_http_checks(peer, prober, pki, tmp_path):
    folder, leaves = pki
    site = tmp_path / "site"
    (site / "sub").mkdir(parents=True)
    (site / "index.html").write_text("<p>the service behind the tunnel</p>\n")
    ip = peer.info["peer_tunnel_ip"]
    config = str(client_config(tmp_path, peer.info))
    with http_server(peer, PLAIN, site), tls_server(peer, 8443, *leaves["good"]):
        done = prober.command(
            config, "--ca-file", str(folder / "ca.crt"),
            "--http", f"http://{ip}:{PLAIN}/", "--http", f"http://{ip}:{PLAIN}/missing",
            "--http", f"http://{ip}:{PLAIN}/sub", "--http", f"https://{NAME}:8443/", "--nagios")
        expect = [prober.command(config, "--http", f"http://{ip}:{PLAIN}/",
                                 "--http-expect", text, "--nagios").returncode for text in ("behind the tunnel", "absent")]
    first, long_output = plugin_lines(done)
    assert done.returncode == 1, done.stdout
    assert first.split(" | ")[0].endswith(f"3 of 4 checks passed - http http://{ip}:{PLAIN}/missing status 404"), first
    assert long_output[0] == f"http http://{ip}:{PLAIN}/: HTTP 200 OK, 37 bytes"
    assert long_output[1].startswith(f"http http://{ip}:{PLAIN}/missing: HTTP 404 ")
    # A redirect is accepted by the default 200-399 and reported, never followed.
    assert re.fullmatch(rf"http http://{ip}:{PLAIN}/sub: HTTP 301 Moved Permanently, 0 bytes, Location /sub/ \(not followed\)",
                        long_output[2]), long_output
    assert re.fullmatch(rf"http https://{NAME}:8443/: {NAME} is {ip}, TLS 1\.3, HTTP 200 ok, \d+ bytes", long_output[3]), long_output
    assert expect == [0, 2]


# The path-MTU black hole: the relay drops every datagram above 1200 bytes.
# Pings and DNS pass; a TLS server's certificate flight in full-size
# segments never arrives, and the check says after how many bytes it
# stalled; announcing an MSS that fits (--mtu 1160) lets it through.
def test_a_tls_handshake_through_a_path_mtu_black_hole(peer, prober, pki, tmp_path):
    folder, leaves = pki
    info = peer.info
    with tls_server(peer, 8450, *leaves["big"]), \
            UdpRelay(peer, to_peer=Faults(max_bytes=1200), to_client=Faults(max_bytes=1200)) as relay:
        config = str(client_config(tmp_path, info, endpoint=relay.endpoint))
        argv = [config, "--ping", info["peer_tunnel_ip"], "--resolve", "ok.quorlin.test", "--tls", "10.99.0.1:8450",
                "--ca-file", str(folder / "ca.crt"), "--tcp-timeout-ms", "2500"]
        stalled = json.loads(prober.command(*argv, "--json").stdout)
        fitting = json.loads(prober.command(*argv, "--mtu", "1160", "--json").stdout)
    checks = {p["phase"]: p for p in stalled["phases"] if p["phase"] in ("ping", "dns", "tls")}
    assert (checks["ping"]["status"], checks["dns"]["status"]) == ("passed", "passed")
    assert checks["tls"]["status"] == "unconfirmed"
    assert re.fullmatch(r"TLS handshake stalled after \d+ bytes: no data after \d+ bytes for \d+ ms", checks["tls"]["detail"]), checks["tls"]
    (tls,) = [p for p in fitting["phases"] if p["phase"] == "tls"]
    assert (tls["status"], tls["detail"].startswith("TLS 1.3, certificate CN=big")) == ("passed", True), tls
