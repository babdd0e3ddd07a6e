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

# make_venv DIR PACKAGES...: create (or reuse) a virtual environment with the packages.
make_venv() {
  local dir=$1
  shift
  if [ ! -x "$dir/bin/python" ]; then
    "$(find_python)" -m venv "$dir"
  fi
  "$dir/bin/python" -m pip install --quiet --disable-pip-version-check --upgrade pip
  "$dir/bin/python" -m pip install --quiet --disable-pip-version-check "$@"
}

BUILD_DEPS=("scikit-build-core>=0.10" "pybind11>=3.0,<4" "numpy>=1.26")
# What the bluster package needs at run time (the dependencies of pyproject.toml; the package
# is installed with --no-deps so that pip does not rebuild or upgrade the environment).
RUNTIME_DEPS=("xarray>=2024.6" "pint>=0.24" "cf-xarray>=0.10")
# What the whole test suite runs with: mypy and basedpyright (which brings its own Node.js) for
# the type stubs, Dask and distributed for the scaling-out example and the command line, xradar
# and arm-pyart (its test data hold the real KLOT volume) for bluster.radar; h5netcdf, zarr and
# tqdm for the command line's output files and progress bar.
TEST_DEPS=("${RUNTIME_DEPS[@]}" "pytest>=8" "hypothesis>=6" "mypy>=1.11" "basedpyright>=1.20" "dask[array]>=2024.8"
  "distributed>=2024.8" "matplotlib>=3.8" "xradar>=0.13" "arm-pyart>=2.0" "h5netcdf>=1.3" "zarr>=2.18"
  "tqdm>=4.66")

# install_package VENV: build the extension modules and install them into VENV.
install_package() {
  local venv=$1
  "$venv/bin/python" -m pip install --quiet --disable-pip-version-check --no-build-isolation \
    --no-deps --force-reinstall "$ROOT"
}
