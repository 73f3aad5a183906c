"""The option texts, the raw-key combination rules and plan validation, each
refused with its exact message before any traffic."""

import pytest

from conftest import PEER_KEY, missing_file_message, refused
from quorlin import _quorlin

ENDPOINT = "127.0.0.1:9"
TOGETHER = "address and at least one allowed_ips entry must be supplied together"
DATA_NEEDS_ADDRESS = "data checks require address and at least one allowed_ips entry"
RESOLVE_NEEDS_SERVER = "resolve requires an IPv4 dns_server in raw-key mode"
PAIRED = {"address": "10.0.0.2/32", "allowed_ips": ["10.0.0.0/24"]}


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"ping": ["10.0.0.1", "10.0.0.256"]}, "ping target must be an IPv4 address, got 10.0.0.256"),
        ({"ping": ["010.0.0.1"]}, "ping target must be an IPv4 address, got 010.0.0.1"),
        ({"ping": ["10.0.0.1 "]}, "ping target must be an IPv4 address, got 10.0.0.1 "),
        ({"ping": ["10.0.0.1/32"]}, "ping target must be an IPv4 address, got 10.0.0.1/32"),
        ({"ping": [""]}, "ping target must be an IPv4 address, got "),
        ({"ping": ["bad", "worse"]}, "ping target must be an IPv4 address, got bad"),
        ({"dns_server": "::1"}, "dns_server must be an IPv4 address, got ::1"),
        ({"dns_server": "+1.2.3.4"}, "dns_server must be an IPv4 address, got +1.2.3.4"),
        # the ping texts come before dns_server, and both before the time limits
        ({"ping": ["x"], "dns_server": "y"}, "ping target must be an IPv4 address, got x"),
        ({"dns_server": "y", "deadline_ms": 0}, "dns_server must be an IPv4 address, got y"),
    ],
    ids=repr,
)
def test_option_texts_are_refused_before_the_file_is_touched(missing_path, kwargs, message):
    assert refused(_quorlin.probe_file, missing_path, **kwargs) == message
    assert refused(_quorlin.probe_key_file, missing_path, PEER_KEY, ENDPOINT, **kwargs) == message


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"address": "10.0.0.2/32"}, TOGETHER),
        ({"address": "10.0.0.2/32", "ping": ["10.0.0.1"], "resolve": ["a.test"]}, TOGETHER),
        ({"allowed_ips": ["10.0.0.0/24"]}, TOGETHER),
        ({"allowed_ips": ["10.0.0.0/24"], "dns_server": "10.0.0.1", "resolve": ["a.test"]}, TOGETHER),
        # the pairing is checked before the texts of address and allowed_ips
        ({"address": "nonsense"}, TOGETHER),
        ({"ping": ["10.0.0.1"]}, DATA_NEEDS_ADDRESS),
        ({"resolve": ["a.test"], "dns_server": "10.0.0.1"}, DATA_NEEDS_ADDRESS),
        ({**PAIRED, "resolve": ["a.test"]}, RESOLVE_NEEDS_SERVER),
        ({"address": "10.0.0.2", "allowed_ips": ["10.0.0.0/24"]}, "address must be an IPv4 CIDR, got 10.0.0.2"),
        ({"address": "10.0.0.2/32", "allowed_ips": ["10.0.0.0/24", "10.0.1.0/33", "x"]},
         "allowed_ips entry must be an IPv4 CIDR, got 10.0.1.0/33"),
        ({"address": "bad", "allowed_ips": ["worse"]}, "address must be an IPv4 CIDR, got bad"),
    ],
    ids=repr,
)
def test_raw_key_combinations(missing_path, kwargs, message):
    assert refused(_quorlin.probe_key_file, missing_path, PEER_KEY, ENDPOINT, **kwargs) == message


@pytest.mark.parametrize(
    "peer_key, kwargs",
    [
        (PEER_KEY, {}),
        (PEER_KEY, {"address": "10.0.0.2/24", "allowed_ips": ["0.0.0.0/0"]}),
        (PEER_KEY, {"address": "10.0.0.2/+24", "allowed_ips": ["10.0.0.7/8"], "ping": ["10.9.9.9"]}),
        (PEER_KEY, {**PAIRED, "dns_server": "10.0.0.1", "resolve": ["a.test"]}),
        # the key file is read before the peer key is decoded
        ("bad peer key", PAIRED),
    ],
    ids=repr,
)
def test_valid_combinations_reach_the_key_file(missing_path, peer_key, kwargs):
    message = refused(_quorlin.probe_key_file, missing_path, peer_key, ENDPOINT, **kwargs)
    assert message == missing_file_message("private key", missing_path)


# Plan validation's own messages pass through unchanged; none of these sends anything.
@pytest.mark.parametrize(
    "config, kwargs, message",
    [
        ({}, {"ping": ["10.0.0.1", "192.0.2.1", "198.51.100.1"]}, "ping target 192.0.2.1 is outside Peer AllowedIPs"),
        ({"address": None}, {"ping": ["10.0.0.1"]}, "data checks require an IPv4 Interface Address (or --address)"),
        # Echoes that cannot all leave before the deadline, after the plan's other rules.
        ({}, {"ping": ["10.0.0.1"], "ping_count": 100},
         "ping_count 100 x ping_interval_ms 200 cannot finish within deadline_ms 9000: the echoes to 1 ping target "
         "alone are spread over 19800 ms; deadline_ms 23800 would fit the worst case: handshake_timeout_ms 3000 + "
         "20800 ms of echoes (the last to each target within ping_timeout_ms 1000)"),
        ({}, {"ping": ["10.0.0.1", "10.9.9.9"], "ping_count": 100}, "ping target 10.9.9.9 is outside Peer AllowedIPs"),
    ],
    ids=repr,
)
def test_plan_validation_in_file_mode(write_config, config, kwargs, message):
    assert refused(_quorlin.probe_file, write_config(**config), **kwargs) == message


def test_plan_validation_in_raw_key_mode(key_file):
    message = refused(_quorlin.probe_key_file, key_file, PEER_KEY, ENDPOINT, resolve=["a.test"],
                      dns_server="192.0.2.53", **PAIRED)
    assert message == "DNS server 192.0.2.53 is outside Peer AllowedIPs"


# A peer key of small order can never complete a handshake: refused as input
# (all zeros, and u = 1 with bit 255 set), never sent as an initiation.
@pytest.mark.parametrize("peer_key", ["A" * 43 + "=", "AQAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAIA="])
def test_peer_key_of_small_order_is_refused(key_file, peer_key):
    assert refused(_quorlin.probe_key_file, key_file, peer_key, ENDPOINT) == (
        "Peer PublicKey (or --peer-key) is a low-order point: no handshake with it can succeed")
