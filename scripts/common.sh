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

# say TEXT: one line of what a script is doing, on stderr (a first set-up takes minutes).
say() {
  echo "${0##*/}: $*" >&2
}

# make_venv DIR NAME...: create (or reuse) a virtual environment with requirements NAME...
make_venv() {
  local dir=$1 listed
  local -a packages
  shift
  listed=$(requirements "$@")
  mapfile -t packages <<<"$listed"
  if [ ! -x "$dir/bin/python" ]; then
    say "creating ${dir#"$ROOT"/} and installing the $* requirements (${#packages[@]} packages;" \
      "the first time takes several minutes)"
    "$(find_python)" -m venv "$dir"
  else
    say "checking the $* requirements in ${dir#"$ROOT"/}"
  fi
  "$dir/bin/python" -m pip install --quiet --disable-pip-version-check --upgrade pip
  "$dir/bin/python" -m pip install --quiet --disable-pip-version-check "${packages[@]}"
}

# install_package VENV: build the extension modules and install them into VENV.
install_package() {
  local venv=$1
  say "building the extension modules and installing bluster into ${venv#"$ROOT"/}"
  "$venv/bin/python" -m pip install --quiet --disable-pip-version-check --no-build-isolation \
    --no-deps --force-reinstall "$ROOT"
}

# install_test_data VENV: the real ODIM_H5 volume of FMI's Korpo radar that the tests read
# (test data inside the pyart-mch wheel, which cannot be installed beside arm-pyart: both
# are the module `pyart`). The wheel is downloaded once into pip's cache, never installed;
# the one file is copied to VENV/share/bluster-test-data. Without a network the tests that
# need it skip.
install_test_data() {
  local venv=$1 target=$1/share/bluster-test-data wheels
  local member=pyart/testing/data/example_radar.polar.fikor.h5
  [ -f "$target/${member##*/}" ] && return
  say "fetching the Korpo ODIM_H5 test volume (inside the pyart-mch wheel) into ${target#"$ROOT"/}"
  wheels=$(mktemp -d)
  if "$venv/bin/python" -m pip download --quiet --disable-pip-version-check --no-deps \
    --only-binary :all: --dest "$wheels" pyart-mch; then
    mkdir -p "$target"
    "$venv/bin/python" - "$wheels" "$member" "$target" <<'PY'
import pathlib, sys, zipfile
wheels, member, target = sys.argv[1:]
with zipfile.ZipFile(next(pathlib.Path(wheels).glob("*.whl"))) as wheel:
    (pathlib.Path(target) / pathlib.Path(member).name).write_bytes(wheel.read(member))
PY
  else
    say "could not download pyart-mch: the tests on the Korpo volume will skip"
  fi
  rm -rf "$wheels"
}
