"""Certificates made at test time by openssl: authorities, and leaves signed
by them with any names and any validity (`openssl ca` sets both dates, so a
leaf can be expired or not yet valid)."""

from __future__ import annotations

import subprocess
from pathlib import Path

CA_CONFIG = """[ca]
default_ca = ca_default
[ca_default]
database = {name}.index
new_certs_dir = .
serial = {name}.serial
default_md = sha256
policy = any_name
copy_extensions = copy
unique_subject = no
[any_name]
commonName = supplied
"""


def openssl(folder: Path, *args: str) -> None:
    subprocess.run(["openssl", *args], cwd=folder, check=True, capture_output=True, timeout=60)


def make_authority(folder: Path, name: str) -> Path:
    openssl(folder, "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout",
            f"{name}.key", "-out", f"{name}.crt", "-days", "2", "-subj", f"/CN={name}")
    (folder / f"{name}.cnf").write_text(CA_CONFIG.format(name=name))
    (folder / f"{name}.index").write_text("")
    (folder / f"{name}.serial").write_text("1000\n")
    return folder / f"{name}.crt"


def make_leaf(folder: Path, name: str, ca: str, *, names: str, start: str = "", end: str = "",
              key: str = "ec") -> tuple[Path, Path]:
    """NAME.crt and NAME.key for subjectAltName `names`, signed by CA; dates as YYYYMMDDHHMMSSZ, else 2 days from now."""
    key_options = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256"] if key == "ec" else ["-newkey", key]
    openssl(folder, "req", *key_options, "-nodes", "-keyout", f"{name}.key", "-out", f"{name}.csr",
            "-subj", f"/CN={name}", "-addext", f"subjectAltName={names}")
    dates = (["-startdate", start] if start else []) + (["-enddate", end] if end else ["-days", "2"])
    openssl(folder, "ca", "-batch", "-notext", "-config", f"{ca}.cnf", "-cert", f"{ca}.crt", "-keyfile", f"{ca}.key",
            "-in", f"{name}.csr", "-out", f"{name}.crt", *dates)
    return folder / f"{name}.crt", folder / f"{name}.key"
