"""Repairs a wheel built by `pip wheel` into a manylinux wheel whose programs run once installed.

    python3 scripts/repair_wheel.py WHEEL DEST_DIR

`auditwheel repair` bundles the shared libraries (libsodium, libb2, GnuTLS and
what they load) into `quorlin.libs/`, which installs next to the package in
the environment's platlib. Its RPATHs are right for the extension module but
not for our two programs: they install outside platlib (`quorlin` into the
scripts folder, the exporter under the data folder), so a path counted inside
the wheel points nowhere after installation. auditwheel also swaps an ELF
script for a Python wrapper, which would put an interpreter start in front of
every monitoring check and move the command away from the exporter it hands
`quorlin exporter` to.

So, after auditwheel: the command goes back to the scripts folder, and each
program's RPATH names `quorlin.libs` relative to where the installation
schemes put it: PREFIX/{lib,lib64}/pythonX.Y/{site,dist}-packages for a venv,
a --user install, a distribution's own Python (Debian's dist-packages,
Fedora's lib64) and conda alike.
"""

from __future__ import annotations

import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

ELF_MAGIC = b"\x7fELF"
LIBS = "quorlin.libs"


def run(*command: str | Path) -> None:
    subprocess.run([str(part) for part in command], check=True)


def only(folder: Path, pattern: str) -> Path:
    found = sorted(folder.glob(pattern))
    if len(found) != 1:
        sys.exit(f"repair_wheel: expected one {pattern} in {folder}, found {len(found)}")
    return found[0]


def python_version(wheel: Path) -> str:
    match = re.search(r"-cp(\d)(\d+)-", wheel.name)
    if match is None:
        sys.exit(f"repair_wheel: {wheel.name} names no CPython version tag")
    return f"{match[1]}.{match[2]}"


def rpath_to_libs(levels_up: int, levels_in_wheel: int, version: str) -> str:
    """The RPATH of a program installed `levels_up` folders below the scheme's prefix.

    The last entry is the program's path to quorlin.libs inside the wheel:
    never reached once installed (the bundled names are unique), it lets
    `auditwheel show` read the wheel as it reads one it repaired itself.
    """
    up = "/".join([".."] * levels_up)
    installed = [f"$ORIGIN/{up}/{libdir}/python{version}/{site}/{LIBS}"
                 for libdir in ("lib", "lib64") for site in ("site-packages", "dist-packages")]
    return ":".join([*installed, "$ORIGIN/" + "/".join([".."] * levels_in_wheel) + f"/{LIBS}"])


def is_elf(path: Path) -> bool:
    with path.open("rb") as candidate:
        return candidate.read(4) == ELF_MAGIC


def restore_native_scripts(tree: Path, data: Path) -> None:
    """Puts ELF scripts that auditwheel moved into NAME.scripts/ back in place of its wrappers."""
    for moved_folder in tree.glob("*.scripts"):
        for program in moved_folder.iterdir():
            target = data / "scripts" / program.name
            target.unlink(missing_ok=True)
            shutil.move(program, target)
        moved_folder.rmdir()


def point_programs_at_libs(data: Path, version: str) -> list[Path]:
    patched = []
    for program in sorted(path for path in data.rglob("*") if path.is_file() and is_elf(path)):
        scheme_key, *inside = program.relative_to(data).parts
        # The scripts folder is PREFIX/bin; the data folder is PREFIX itself.
        levels_up = (1 if scheme_key == "scripts" else 0) + len(inside) - 1
        levels_in_wheel = len(program.relative_to(data.parent).parts) - 1
        run("patchelf", "--force-rpath", "--set-rpath", rpath_to_libs(levels_up, levels_in_wheel, version), program)
        patched.append(program)
    return patched


def main() -> None:
    if len(sys.argv) != 3:
        sys.exit("usage: repair_wheel.py WHEEL DEST_DIR")
    wheel, dest = Path(sys.argv[1]).resolve(), Path(sys.argv[2]).resolve()
    version = python_version(wheel)
    with tempfile.TemporaryDirectory() as scratch:
        scratch = Path(scratch)
        run("auditwheel", "repair", "--wheel-dir", scratch / "repaired", wheel)
        repaired = only(scratch / "repaired", "*.whl")
        run(sys.executable, "-m", "wheel", "unpack", "--dest", scratch / "tree", repaired)
        tree = only(scratch / "tree", "*")
        data = only(tree, "*.data")
        restore_native_scripts(tree, data)
        for program in point_programs_at_libs(data, version):
            print(f"repair_wheel: {program.relative_to(data)} finds {LIBS} from its installed place")
        dest.mkdir(parents=True, exist_ok=True)
        run(sys.executable, "-m", "wheel", "pack", "--dest-dir", dest, tree)


if __name__ == "__main__":
    main()
