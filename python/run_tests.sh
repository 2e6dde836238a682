#!/usr/bin/env bash
# Installs the Python package into a fresh virtual environment and runs its
# tests: the README's install command, with Debian's interpreter and
# packages only (no package index). With NERIDO_BUILD_DIR set (ctest sets
# it), pip takes the module from that CMake build folder.
#   python/run_tests.sh [BUILD_FOLDER] [PYTEST_OPTIONS...]   (folder default: build-python)
# Exits non-zero when the install or a test fails, and when pytest collects
# no tests at all.
set -euo pipefail
repository="$(cd "$(dirname "$0")/.." && pwd)"
build="$repository/build-python"
if [ $# -gt 0 ] && [ "${1#-}" = "$1" ]; then
  build="$1"
  shift
fi
build="$(mkdir -p "$build" && cd "$build" && pwd)"
python="${NERIDO_PYTHON:-/usr/bin/python3}"

"$python" -m venv --system-site-packages --clear "$build/venv"
"$build/venv/bin/pip" install --quiet --no-build-isolation --no-index "$repository/python"

# From the build folder, so that `import nerido` finds the installed package
# and not the sources in python/nerido.
cd "$build"
status=0
"$build/venv/bin/python" -m pytest -p no:cacheprovider "$repository/python/tests" "$@" || status=$?
if [ "$status" -eq 5 ]; then
  echo "run_tests.sh: pytest collected no tests" >&2
fi
exit "$status"
