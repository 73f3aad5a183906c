"""`quorlin exporter --web.config.file`: basic authentication, checked over real HTTP.

The bcrypt hashes are made at test time with the system's crypt.
"""

from __future__ import annotations

import base64
import signal
import statistics
import subprocess
import time
import warnings

import pytest

from exporter_process import REQUEST_TIMEOUT_S, ExporterProcess, sample, write_fleet
from real_peer import needs_peer

with warnings.catch_warnings():
    warnings.simplefilter("ignore", DeprecationWarning)
    import crypt

pytestmark = needs_peer

TIMEOUT_HEADER = "X-Prometheus-Scrape-Timeout-Seconds"
COST = 8  # 2^8 rounds: slow enough to time, quick enough to test


def bcrypt(password: str) -> str:
    return crypt.crypt(password, crypt.mksalt(crypt.METHOD_BLOWFISH, rounds=2 ** COST))


def basic(user: str, password: str) -> dict:
    return {"Authorization": "Basic " + base64.b64encode(f"{user}:{password}".encode()).decode()}


def test_basic_auth(peer, tmp_path):
    fleet = write_fleet(tmp_path, peer.info)
    web = tmp_path / "web.yml"
    web.write_text(f"basic_auth_users:\n  prometheus: {bcrypt('right')}\n  other: {bcrypt('else')}\n")
    with ExporterProcess(peer, fleet, "--web.config.file", str(web)) as exporter:
        status, _, body = exporter.request("/probe?target=good", {TIMEOUT_HEADER: "10", **basic("prometheus", "right")})
        assert (status, sample(body, "probe_success")) == (200, 1)
        assert exporter.request("/-/healthy")[0] == 200

        # Every other endpoint asks; each refusal is one log line, never with the password.
        for path, headers in [("/metrics", {}), ("/targets", basic("prometheus", "wrong")),
                              ("/probe?target=good", basic("nobody", "right")), ("/", {"Authorization": "Bearer x"})]:
            status, answer_headers, body = exporter.request(path, headers)
            assert (status, body) == (401, "authentication required\n"), path
            assert answer_headers["WWW-Authenticate"] == 'Basic realm="quorlin exporter"'
            assert exporter.next_line() == f"quorlin: refused GET {path} from 127.0.0.1: 401 authentication required"

        # An unknown user costs a bcrypt check like a wrong password: its time does not tell.
        def median_time(headers):
            times = []
            for _ in range(5):
                started = time.monotonic()
                assert exporter.request("/metrics", headers)[0] == 401
                times.append(time.monotonic() - started)
                exporter.next_line()
            return statistics.median(times)

        wrong, unknown = median_time(basic("prometheus", "wrong")), median_time(basic("nobody", "wrong"))
        assert unknown > wrong / 2, (wrong, unknown)

        # A reload takes a new password; the old one no longer passes.
        web.write_text(f"basic_auth_users:\n  prometheus: {bcrypt('new')}\n")
        exporter.send_signal(signal.SIGHUP)
        assert exporter.next_line() == f"quorlin: reloaded {fleet}: 2 targets"
        assert exporter.next_line() == f"quorlin: reloaded {web}"
        assert exporter.request("/metrics", basic("prometheus", "new"))[0] == 200
        assert exporter.request("/metrics", basic("prometheus", "right"))[0] == 401
        exporter.next_line()

        # A bad file keeps the one in use.
        web.write_text("basic_auth_users:\n  prometheus: plain\n")
        exporter.send_signal(signal.SIGHUP)
        assert exporter.next_line() == f"quorlin: reloaded {fleet}: 2 targets"
        assert exporter.next_line() == (f"quorlin: reload failed, the previous web config stays in use: {web}:2:3: "
                                        'the password of user "prometheus" is not a bcrypt hash')
        assert exporter.request("/metrics", basic("prometheus", "new"))[0] == 200
    assert not [line for line in exporter.log if "right" in line or "$2b$" in line]


def test_configured_headers_on_every_answer(peer, tmp_path):
    fleet = write_fleet(tmp_path, peer.info)
    web = tmp_path / "web.yml"
    web.write_text("http_server_config:\n  http2: false\n  headers:\n    X-Frame-Options: deny\n"
                   "    Content-Security-Policy: \"default-src 'none'\"\n    X-XSS-Protection: \"\"\n"
                   f"basic_auth_users:\n  prometheus: {bcrypt('right')}\n")
    added = {"X-Frame-Options": "deny", "Content-Security-Policy": "default-src 'none'"}
    right = basic("prometheus", "right")
    with ExporterProcess(peer, fleet, "--web.config.file", str(web)) as exporter:
        for path, headers, status in [("/-/healthy", {}, 200), ("/probe?target=good", {TIMEOUT_HEADER: "10", **right}, 200),
                                      ("/probe", right, 400), ("/metrics", {}, 401), ("/nowhere", right, 404)]:
            got, answer_headers, _ = exporter.request(path, headers)
            assert got == status, path
            assert {name: answer_headers.get(name) for name in added} == added, path
            assert "X-XSS-Protection" not in answer_headers  # blank: unset
TLS = "tls_server_config:\n  cert_file: c\n  key_file: k\n"


@pytest.mark.parametrize("text, message", [
    ("basic_auth_users:\n  a: $2b$08$x\n", '2:3: the password of user "a" is not a bcrypt hash'),
    ("basic_auth_user:\n  a: b\n", '1:1: unknown key "basic_auth_user"'),
    ("tls_server_config:\n  cert_file: c\n", "2:3: tls_server_config needs both cert_file and key_file"),
    (TLS + "  ciphers: x\n", '4:3: unknown key "ciphers" in tls_server_config'),
    (TLS + "  client_auth_type: RequireAnyClientCert\n", '4:21: client_auth_type "RequireAnyClientCert" is not '
     "served: use NoClientCert, VerifyClientCertIfGiven or RequireAndVerifyClientCert"),
    (TLS + "  client_auth_type: RequireAndVerifyClientCert\n",
     "2:3: client_auth_type RequireAndVerifyClientCert needs client_ca_file"),
    (TLS + "  client_ca_file: ca\n", "2:3: no client_auth_type with client_ca_file: say which client certificates to ask for"),
    (TLS + "  min_version: TLS11\n", '4:16: min_version "TLS11" is not served: use TLS12 or TLS13'),
    ("basic_auth_users: [a, b]\n", "1:19: basic_auth_users must map users to bcrypt hashes"),
    (TLS + "  cipher_suites: TLS_AES_128_GCM_SHA256\n", "4:18: cipher_suites must be a list of non-empty texts"),
    (TLS + "  cipher_suites: [TLS_FOO]\n", '4:19: cipher_suites item 1: "TLS_FOO" is not a cipher suite name'),
    (TLS + "  cipher_suites:\n    - TLS_AES_128_GCM_SHA256\n    - TLS_RSA_WITH_RC4_128_SHA\n",
     '6:7: cipher_suites item 2: "TLS_RSA_WITH_RC4_128_SHA" is left out of GnuTLS\'s defaults as weak'),
    (TLS + "  max_version: TLS12\n  cipher_suites: [TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256, TLS_RSA_WITH_AES_256_GCM_SHA384]\n",
     "5:18: cipher_suites would also serve TLS_RSA_WITH_AES_128_GCM_SHA256, TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384: "
     "GnuTLS enables suites by key exchange, cipher and MAC, so list these too or leave out the suites whose parts "
     "bring them"),
    (TLS + "  curve_preferences: [X25519, X25519MLKEM768]\n",
     '4:31: curve_preferences item 2: "X25519MLKEM768" has no GnuTLS equivalent'),
    (TLS + "  curve_preferences: [P-256]\n", '4:23: curve_preferences item 1: "P-256" is not a curve name'),
    (TLS + "  max_version: TLS11\n", '4:16: max_version "TLS11" is not served: use TLS12 or TLS13'),
    (TLS + "  min_version: TLS13\n  max_version: TLS12\n", "2:3: max_version TLS12 is below min_version TLS13"),
    (TLS + "  prefer_server_cipher_suites: maybe\n", "4:32: prefer_server_cipher_suites must be true or false"),
    (TLS + "  client_allowed_sans: [a.example]\n",
     "2:3: client_allowed_sans needs client_auth_type RequireAndVerifyClientCert"),
    (TLS + "  key: x\n", "4:3: key (the PEM text in the file) is not served: use key_file"),
    ("http_server_config:\n  headers:\n    Content-Type: text/html\n",
     '3:5: header "Content-Type" is set by the exporter itself'),
    ("http_server_config:\n  headers:\n    X-Frame-Options: allow\n", "3:5: X-Frame-Options must be deny or sameorigin"),
    ("http_server_config:\n  http2: maybe\n", "2:10: http2 must be true or false"),
    ("http_server_config:\n  h2: true\n", '2:3: unknown key "h2" in http_server_config'),
    ("rate_limit:\n  burst: 2\n",
     "1:1: rate_limit is not served: the exporter caps connections per client address instead"),
    ("basic_auth_users:\n  a: [\n", None),
])
def test_bad_web_config_refused_at_start(tmp_path, text, message):
    from conftest import quorlin_command

    web = tmp_path / "web.yml"
    web.write_text(text)
    (tmp_path / "fleet.toml").write_text("")  # read after the web configuration
    done = subprocess.run([quorlin_command(), "exporter", "--fleet", str(tmp_path / "fleet.toml"),
                           "--web.config.file", str(web), "--listen", "127.0.0.1:0"],
                          capture_output=True, text=True, timeout=REQUEST_TIMEOUT_S)
    assert done.returncode == 3
    assert done.stderr.startswith(f"quorlin: {web}:") and done.stderr.count("\n") == 1, done.stderr
    if message:
        assert done.stderr == f"quorlin: {web}:{message}\n"
