"""The installed executables hold one C++ runtime each: `quorlin` its own,
linked in, and no library that loads the shared one; the exporter's
executable, which `quorlin exporter` runs, only the shared one."""

import re
import subprocess
from pathlib import Path

import pytest

from conftest import copy_of_command, quorlin_command

TIMEOUT_S = 60
SHARED_RUNTIME = "libstdc++.so"
# The exporter's libraries: prometheus-cpp loads the shared runtime. A repaired
# wheel bundles them under names with a hash: libyaml-cpp-5304502b.so.0.7.0.
EXPORTER_LIBRARIES = ("libprometheus-cpp-core", "libmicrohttpd", "libyaml-cpp")
# Entry points of the runtime that every C++ program calls.
RUNTIME_ENTRY_POINTS = ("_Znwm", "__cxa_throw", "_ZSt9terminatev")


def exporter_executable() -> Path:
    return Path(quorlin_command()).resolve().parent.parent / "libexec" / "quorlin" / "quorlin-exporter"


def loaded_libraries(path: Path) -> str:
    return subprocess.run(["ldd", str(path)], capture_output=True, text=True, check=True, timeout=TIMEOUT_S).stdout


def imported_runtime_entry_points(path: Path) -> set[str]:
    """The entry points taken from a shared runtime; one linked in imports none."""
    symbols = subprocess.run(["nm", "-D", "--undefined-only", str(path)], capture_output=True, text=True,
                             check=True, timeout=TIMEOUT_S).stdout
    return set(re.findall(r"\bU (\w+)@(?:GLIBCXX|CXXABI)_", symbols)) & set(RUNTIME_ENTRY_POINTS)


@pytest.mark.parametrize("executable, shared_runtime", [(quorlin_command, False), (exporter_executable, True)],
                         ids=["quorlin", "quorlin-exporter"])
def test_one_cxx_runtime_per_executable(executable, shared_runtime):
    path = Path(executable())
    libraries = loaded_libraries(path)
    assert (SHARED_RUNTIME in libraries) == shared_runtime
    assert all(bool(re.search(rf"\b{name}(-[0-9a-f]{{8}})?\.so", libraries)) == shared_runtime
               for name in EXPORTER_LIBRARIES)
    assert imported_runtime_entry_points(path) == (set(RUNTIME_ENTRY_POINTS) if shared_runtime else set())


def test_exporter_executable_missing_is_an_error(tmp_path):
    # quorlin copied alone, without the folder its exporter lives in.
    (tmp_path / "bin").mkdir()
    alone = copy_of_command(tmp_path / "bin")
    done = subprocess.run([str(alone), "exporter", "--fleet", "fleet.toml"], capture_output=True, text=True,
                          timeout=TIMEOUT_S)
    expected = tmp_path / "bin" / ".." / "libexec" / "quorlin" / "quorlin-exporter"
    assert (done.returncode, done.stdout) == (3, "")
    assert done.stderr == f"quorlin: could not start the exporter {expected}: No such file or directory (os error 2)\n"
