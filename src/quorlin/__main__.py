"""`python -m quorlin`: runs the native `quorlin` command with the same arguments.

The command is one executable, installed by `pip install .` into the
environment's scripts folder; this module only finds it and replaces the
interpreter with it.
"""

from __future__ import annotations

import os
import sys
import sysconfig

_ELF_MAGIC = b"\x7fELF"


def _is_native(path: str) -> bool:
    # A console script of an older install is Python, which would come back here.
    try:
        with open(path, "rb") as candidate:
            return candidate.read(4) == _ELF_MAGIC and os.access(path, os.X_OK)
    except OSError:
        return False


def command_path() -> str | None:
    """The native command of this environment: next to the interpreter, or in a scripts folder."""
    folders = [os.path.dirname(sys.executable), sysconfig.get_path("scripts")]
    user_scheme = f"{os.name}_user"
    if user_scheme in sysconfig.get_scheme_names():
        folders.append(sysconfig.get_path("scripts", user_scheme))
    for folder in folders:
        path = os.path.join(folder, "quorlin")
        if _is_native(path):
            return path
    return None


def main() -> int:
    path = command_path()
    if path is None:
        sys.stderr.write("quorlin: the quorlin executable is not installed for this interpreter (pip install .)\n")
        return 3
    sys.stdout.flush()
    os.execv(path, ["quorlin", *sys.argv[1:]])
    return 3  # not reached: execv replaces the process or raises


if __name__ == "__main__":
    sys.exit(main())
