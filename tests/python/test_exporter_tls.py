"""`quorlin exporter` over TLS, with certificates made at test time by openssl.

Clients are curl and Python's ssl module inside the peer's namespace, and a
real Prometheus scraping with `scheme: https`, `tls_config` and `basic_auth`.
"""

from __future__ import annotations

import re
import signal
import socket
import ssl
import subprocess

import pytest

from conftest import stop_process
from exporter_process import REQUEST_TIMEOUT_S, ExporterProcess, write_fleet
from real_peer import needs_peer
from test_exporter_prometheus import (EXPECTED_SUCCESS, EXPORTER, ROOT, probe_results, query, start_prometheus,
                                      write_readme_fleet)
from test_exporter_web_config import bcrypt

pytestmark = needs_peer


def openssl(folder, *args: str) -> None:
    subprocess.run(["openssl", *args], cwd=folder, check=True, capture_output=True, timeout=30)


def make_pair(folder, name: str, ca: str, *extensions: str) -> None:
    """NAME.key and NAME.crt, signed by CA.crt / CA.key."""
    openssl(folder, "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout",
            f"{name}.key", "-out", f"{name}.csr", "-subj", f"/CN={name}")
    (folder / f"{name}.ext").write_text("".join(line + "\n" for line in extensions))
    openssl(folder, "x509", "-req", "-in", f"{name}.csr", "-CA", f"{ca}.crt", "-CAkey", f"{ca}.key",
            "-set_serial", str(abs(hash(name)) % 10**9), "-days", "2", "-out", f"{name}.crt",
            "-extfile", f"{name}.ext")


def make_authority(folder, name: str) -> None:
    openssl(folder, "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout",
            f"{name}.key", "-out", f"{name}.crt", "-days", "2", "-subj", f"/CN={name}")


@pytest.fixture
def certificates(tmp_path):
    """ca: the server's and the good client's authority; other: a stranger's."""
    for authority in ("ca", "other"):
        make_authority(tmp_path, authority)
    for name in ("server", "renewed"):
        make_pair(tmp_path, name, "ca", "subjectAltName=IP:127.0.0.1,IP:::1,DNS:localhost")
    make_pair(tmp_path, "client", "ca", "extendedKeyUsage=clientAuth")
    make_pair(tmp_path, "stranger", "other", "extendedKeyUsage=clientAuth")
    return tmp_path


def curl(exporter: ExporterProcess, path: str, *options: str, scheme: str = "https") -> tuple[int, str]:
    """(curl's exit status, the body or its error) for one request from inside the namespace,
    run in the folder of the certificates."""
    done = subprocess.run(
        ["ip", "netns", "exec", exporter.peer.namespace, "curl", "-sS", "--max-time", "20", *options,
         f"{scheme}://127.0.0.1:{exporter.port}{path}"],
        capture_output=True, text=True, timeout=REQUEST_TIMEOUT_S, cwd=exporter.folder)
    return done.returncode, done.stdout if done.returncode == 0 else done.stderr


def raw_answer(exporter: ExporterProcess, request: bytes) -> bytes:
    """Everything the exporter sends back to `request` on a plain TCP connection, until it closes."""
    with exporter.peer.entered(), socket.create_connection(("127.0.0.1", exporter.port), timeout=10) as raw:
        raw.sendall(request)
        answer = b""
        while chunk := raw.recv(4096):
            answer += chunk
        return answer


def served_certificate(exporter: ExporterProcess, ca) -> bytes:
    context = ssl.create_default_context(cafile=str(ca))
    with exporter.peer.entered(), socket.create_connection(("127.0.0.1", exporter.port), timeout=10) as raw, \
            context.wrap_socket(raw, server_hostname="127.0.0.1") as wrapped:
        return wrapped.getpeercert(binary_form=True)


def der(certificate) -> bytes:
    return ssl.PEM_cert_to_DER_cert(certificate.read_text())


def test_tls_with_basic_auth(peer, certificates):
    folder = certificates
    fleet = write_fleet(folder, peer.info)
    web = folder / "web.yml"
    tls = "tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n"
    web.write_text(tls + f"basic_auth_users:\n  prometheus: {bcrypt('right')}\n")
    with ExporterProcess(peer, fleet, "--web.config.file", str(web)) as exporter:
        exporter.folder = folder
        assert exporter.log[0].startswith("quorlin: listening on https://127.0.0.1:")
        status, body = curl(exporter, "/probe?target=good", "--cacert", "ca.crt", "-u", "prometheus:right")
        assert status == 0 and "\nprobe_success 1\n" in body, body
        assert curl(exporter, "/-/healthy", "--cacert", "ca.crt") == (0, "OK\n")
        assert curl(exporter, "/metrics", "--cacert", "ca.crt", "-w", "%{http_code}", "-o", "/dev/null")[1] == "401"
        exporter.next_line()

        # Plain HTTP gets the 400 HTTPS servers send, whole, then the connection closes.
        assert raw_answer(exporter, b"GET /-/healthy HTTP/1.1\r\nHost: x\r\n\r\n") == (
            b"HTTP/1.0 400 Bad Request\r\n\r\nClient sent an HTTP request to an HTTPS server.\n")
        # TLS 1.1 from a client that offers it (the system's default level would refuse it on its own).
        status, error = curl(exporter, "/-/healthy", "-v", "-k", "--tls-max", "1.1", "--ciphers", "DEFAULT:@SECLEVEL=0")
        assert status != 0 and "TLSv1.1 (OUT), TLS handshake, Client hello" in error and "HTTP/" not in error, error

        # A reload serves a renewed pair to new connections; it cannot turn TLS off.
        assert served_certificate(exporter, folder / "ca.crt") == der(folder / "server.crt")
        web.write_text(tls.replace("server.", "renewed.") + f"basic_auth_users:\n  prometheus: {bcrypt('right')}\n")
        exporter.send_signal(signal.SIGHUP)
        assert exporter.next_line() == f"quorlin: reloaded {fleet}: 2 targets"
        assert exporter.next_line() == f"quorlin: reloaded {web}"
        assert served_certificate(exporter, folder / "ca.crt") == der(folder / "renewed.crt")
        web.write_text("basic_auth_users:\n")
        exporter.send_signal(signal.SIGHUP)
        exporter.next_line()
        assert exporter.next_line() == ("quorlin: reload failed, the previous web config stays in use: "
                                        "serving TLS or plain HTTP changes only by a restart")
        assert curl(exporter, "/-/healthy", "--cacert", "ca.crt") == (0, "OK\n")
    assert not [line for line in exporter.log if "PRIVATE KEY" in line or "$2b$" in line]


CLIENT_CASES = [
    # client_auth_type, client certificate (None: none sent), served
    ("RequireAndVerifyClientCert", None, False),
    ("RequireAndVerifyClientCert", "client", True),
    ("RequireAndVerifyClientCert", "stranger", False),
    ("VerifyClientCertIfGiven", None, True),
    ("VerifyClientCertIfGiven", "client", True),
    ("VerifyClientCertIfGiven", "stranger", False),
]


@pytest.mark.parametrize("auth_type", ["RequireAndVerifyClientCert", "VerifyClientCertIfGiven"])
def test_client_certificates(peer, certificates, auth_type):
    folder = certificates
    web = folder / "web.yml"
    web.write_text("tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n"
                   f"  client_ca_file: ca.crt\n  client_auth_type: {auth_type}\n")
    with ExporterProcess(peer, write_fleet(folder, peer.info), "--web.config.file", str(web)) as exporter:
        exporter.folder = folder
        for case_type, client, served in CLIENT_CASES:
            if case_type != auth_type:
                continue
            options = ("--cert", f"{client}.crt", "--key", f"{client}.key") if client else ()
            status, body = curl(exporter, "/-/healthy", "--cacert", "ca.crt", *options)
            assert (status == 0 and body == "OK\n") == served, (client, status, body)


SUITES_WEB = """tls_server_config:
  cert_file: server.crt
  key_file: server.key
  max_version: TLS12
  cipher_suites:
    - TLS_ECDHE_ECDSA_WITH_AES_256_GCM_SHA384
    - TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256
  curve_preferences: [CurveP384]
"""

SUITE_CASES = [
    # curl options, the suite served (None: the handshake is refused)
    # P-256 too: a TLS 1.2 client checks the server certificate's curve against its own list.
    (("--tls-max", "1.2", "--ciphers", "ECDHE-ECDSA-AES128-GCM-SHA256", "--curves", "P-384:P-256"),
     "TLSv1.2 / ECDHE-ECDSA-AES128-GCM-SHA256"),
    # The server's order wins (prefer_server_cipher_suites defaults to true).
    (("--ciphers", "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384"), "TLSv1.2 / ECDHE-ECDSA-AES256-GCM-SHA384"),
    (("--tls-max", "1.2", "--ciphers", "ECDHE-ECDSA-CHACHA20-POLY1305"), None),
    (("--tls-max", "1.2", "--curves", "X25519:P-256"), None),
    (("--tlsv1.3",), None),
]


def test_suites_curves_and_versions(peer, certificates):
    folder = certificates
    (folder / "web.yml").write_text(SUITES_WEB)
    with ExporterProcess(peer, write_fleet(folder, peer.info), "--web.config.file", str(folder / "web.yml")) as exporter:
        exporter.folder = folder
        for options, served in SUITE_CASES:
            status, output = curl(exporter, "/-/healthy", "-v", "--stderr", "-", "--cacert", "ca.crt", *options)
            if served:
                assert status == 0 and f"SSL connection using {served}" in output, (options, output)
            else:
                assert status != 0 and "SSL connection using" not in output, (options, output)


def test_client_allowed_sans(peer, certificates):
    folder = certificates
    make_pair(folder, "named", "ca", "extendedKeyUsage=clientAuth", "subjectAltName=DNS:scraper.example,IP:::1")
    (folder / "web.yml").write_text("tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n"
                                    "  client_ca_file: ca.crt\n  client_auth_type: RequireAndVerifyClientCert\n"
                                    "  client_allowed_sans: [other.example, \"0:0::1\"]\n")
    with ExporterProcess(peer, write_fleet(folder, peer.info), "--web.config.file", str(folder / "web.yml")) as exporter:
        exporter.folder = folder
        for client, answer in [("named", "200"), ("client", "403")]:
            status, code = curl(exporter, "/-/healthy", "--cacert", "ca.crt", "--cert", f"{client}.crt", "--key",
                                f"{client}.key", "-o", "/dev/null", "-w", "%{http_code}")
            assert (status, code) == (0, answer), client


def test_weak_inputs_warned_and_served(peer, tmp_path):
    from pki import make_authority as make_ca, make_leaf

    make_ca(tmp_path, "ca")
    make_leaf(tmp_path, "weak", "ca", names="IP:127.0.0.1", start="20200101000000Z", end="20200102030405Z",
              key="rsa:1024")
    make_leaf(tmp_path, "early", "ca", names="IP:127.0.0.1", start="20991231235959Z", end="21000101000000Z")
    (tmp_path / "weak.key").chmod(0o644)
    web = tmp_path / "web.yml"
    web.write_text("tls_server_config:\n  cert_file: weak.crt\n  key_file: weak.key\n")
    fleet = write_fleet(tmp_path, peer.info)
    with ExporterProcess(peer, fleet, "--web.config.file", str(web)) as exporter:
        exporter.folder = tmp_path
        assert [exporter.next_line() for _ in range(3)] == [
            f"quorlin: warning: {tmp_path}/weak.crt: the certificate expired on 2020-01-02 03:04:05 UTC; "
            "serving it until it is replaced",
            f"quorlin: warning: {tmp_path}/weak.key: an RSA key of 1024 bits, under 2048; serving it until it is replaced",
            f"quorlin: warning: {tmp_path}/weak.key: the private key is readable by others (mode 0644); chmod 600 it",
        ]
        assert curl(exporter, "/-/healthy", "-k", "--ciphers", "DEFAULT:@SECLEVEL=0") == (0, "OK\n")

        web.write_text("tls_server_config:\n  cert_file: early.crt\n  key_file: early.key\n")
        exporter.send_signal(signal.SIGHUP)
        assert [exporter.next_line() for _ in range(3)] == [
            f"quorlin: reloaded {fleet}: 2 targets", f"quorlin: reloaded {web}",
            f"quorlin: warning: {tmp_path}/early.crt: the certificate is not valid before 2099-12-31 23:59:59 UTC; "
            "serving it until it is replaced"]


def test_key_of_another_certificate_refused_at_start(certificates):
    from conftest import quorlin_command

    folder = certificates
    (folder / "web.yml").write_text("tls_server_config:\n  cert_file: server.crt\n  key_file: client.key\n")
    (folder / "fleet.toml").write_text("")  # read after the web configuration
    done = subprocess.run([quorlin_command(), "exporter", "--fleet", "fleet.toml", "--web.config.file", "web.yml",
                           "--listen", "127.0.0.1:0"], cwd=folder, capture_output=True, text=True,
                          timeout=REQUEST_TIMEOUT_S)
    assert (done.returncode, done.stderr) == (
        3, "quorlin: client.key: is not the key of the first certificate of server.crt\n"), done.stderr


def readme_block(opening: str) -> str:
    """The README's fenced YAML block that begins with `opening`."""
    readme = (ROOT / "README.md").read_text()
    return re.search(r"```yaml\n(" + re.escape(opening) + r".*?)```", readme, re.S).group(1)


def test_readme_https_job_scrapes_the_readme_fleet(peer, certificates):
    """The README's web configuration file and https job, as written but for the files' places."""
    folder = certificates
    web = folder / "web.yml"
    web.write_text(readme_block("# /etc/quorlin/web.yml").replace("exporter.", "server.")
                   .replace("$2b$10$...", bcrypt("right")))
    (folder / "quorlin.pw").write_text("right\n")
    job = (readme_block("scrape_configs:\n  - job_name: wireguard\n    metrics_path: /probe\n    scheme: https")
           .replace("/etc/prometheus/quorlin-ca.crt", str(folder / "ca.crt"))
           .replace("/etc/prometheus/quorlin.pw", str(folder / "quorlin.pw"))
           .replace("exporter.example:9723", EXPORTER))
    (folder / "prometheus.yml").write_text("global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n" + job)
    with ExporterProcess(peer, write_readme_fleet(folder, peer.info), "--web.config.file", str(web), listen=EXPORTER):
        prometheus = start_prometheus(peer, folder, folder / "prometheus.yml")
        try:
            results = probe_results(peer, 60.0)
            log = (folder / "prometheus.log").read_text()[-3000:]
            assert {instance: value for instance, (value, _) in results.items()} == EXPECTED_SUCCESS, log
            assert {series["metric"]["instance"]: series["value"][1]
                    for series in query(peer, 'up{job="wireguard"}')} == dict.fromkeys(EXPECTED_SUCCESS, "1")
        finally:
            stop_process(prometheus)
