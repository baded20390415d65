#!/bin/sh
# The Debian packages the build needs, installed when missing (as root with
# apt-get at hand) or asked for with the exact command, so that the README's
# two commands set up a fresh machine. Run by the Makefile's targets.
#
# usage: install-deps.sh [tests] [python]
#   always:  the image libraries: libpng, libjpeg-turbo and libtiff (whose
#            package brings the static archives of its codecs), zlib, and
#            pkg-config to find them;
#   tests:   GoogleTest, and the real readers the tests check outputs with:
#            GDAL's tools and Python module (georeferenced positions, GeoJSON
#            and DXF), shapely and ezdxf; GNU parallel and Pillow, for the
#            README's batch examples run on images of every format;
#   python:  pybind11, the interpreter's headers, numpy and pytest for
#            Debian's /usr/bin/python3, and Dask's distributed scheduler for
#            the example that traces a folder on several workers
#            (`make LINTRACE_PYTHON=OFF ...` builds without the module);
#   tests and python together: the libraries the module's tests read its
#            converted edges with (OpenCV, scikit-image, shapely, geopandas;
#            napari is not packaged in Debian, and its test checks the data
#            layout alone).
set -eu

packages="pkg-config libpng-dev libjpeg62-turbo-dev libtiff-dev zlib1g-dev"
for group in "$@"; do
  case $group in
    tests) packages="$packages libgtest-dev libgmock-dev gdal-bin python3-gdal python3-shapely python3-ezdxf parallel python3-pil" ;;
    python) packages="$packages pybind11-dev python3-dev python3-numpy python3-pytest python3-distributed" ;;
    *) echo "install-deps.sh: no group of packages named '$group'" >&2; exit 2 ;;
  esac
done
# (Each group is looked for on its own: the words of " tests python " share
# the blank between them.)
case " $* " in
  *" tests "*)
    case " $* " in
      *" python "*) packages="$packages python3-opencv python3-skimage python3-shapely python3-geopandas" ;;
    esac ;;
esac

if ! command -v dpkg-query >/dev/null 2>&1; then
  # Not a Debian system: the image libraries only have to be where pkg-config
  # finds them (CMake leaves the Python module out where it finds no pybind11).
  if ! command -v pkg-config >/dev/null 2>&1 || ! pkg-config --exists libpng libjpeg libtiff-4; then
    echo "The build needs pkg-config and the development files of libpng, libjpeg and libtiff." >&2
    exit 1
  fi
  exit 0
fi

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
  echo "Installing the packages the build needs:$missing" >&2
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing >/dev/null
  exit 0
fi

echo "The build needs these packages, missing here:$missing" >&2
echo "Install them with:  sudo apt-get install -y$missing" >&2
case " $* " in
  *" python "*) echo "(or build without the Python module: make LINTRACE_PYTHON=OFF ...)" >&2 ;;
esac
exit 1
