#!/usr/bin/env bash
# Builds the wheel from this tree and repairs it into a manylinux wheel that
# bundles its shared libraries (scripts/repair_wheel.py says how), in
# build/wheel/. Its path is the last line printed.
set -euo pipefail
cd "$(dirname "$0")/.."

out=build/wheel
rm -rf "$out" && mkdir -p "$out/raw"
# The build tree under build/ is kept between runs: only what changed is rebuilt.
PIP_BREAK_SYSTEM_PACKAGES=1 python3 -m pip wheel --quiet --disable-pip-version-check --no-build-isolation \
  --no-deps --wheel-dir "$out/raw" . >&2
python3 scripts/repair_wheel.py "$out"/raw/quorlin-*.whl "$out" >&2
auditwheel show "$out"/quorlin-*manylinux*.whl >&2
realpath "$out"/quorlin-*manylinux*.whl
