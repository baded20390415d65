#!/bin/sh
# The Debian packages the Python module is built and tested with: pybind11,
# the interpreter's headers and numpy for Debian's /usr/bin/python3, pytest,
# and Dask's distributed scheduler for the example that traces a folder on
# several workers. Run by `make configure`. Where one is missing, it is
# installed when this runs as root with apt-get at hand; otherwise the build
# stops here with the command that installs them. `make LINTRACE_PYTHON=OFF ...`
# builds without the module and skips this.
set -eu

packages="pybind11-dev python3-dev python3-numpy python3-pytest python3-distributed"

# Not a Debian system: CMake builds the module where it finds pybind11 and
# numpy, and leaves it out otherwise.
command -v dpkg-query >/dev/null 2>&1 || exit 0

missing=""
for package in $packages; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  case $status in
    *" installed") ;;
    *) missing="$missing $package" ;;
  esac
done

[ -z "$missing" ] && exit 0

if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
  echo "Installing the Python module's packages:$missing" >&2
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing >/dev/null
  exit 0
fi

echo "The Python module needs these packages, missing here:$missing" >&2
echo "Install them with:  sudo apt-get install -y$missing" >&2
echo "(or build without the module: make LINTRACE_PYTHON=OFF ...)" >&2
exit 1
