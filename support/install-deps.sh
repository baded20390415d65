#!/bin/sh
# The development packages the build reads images with: libpng, libjpeg-turbo
# and libtiff (whose package brings the static archives of its codecs), and
# pkg-config to find them; with the argument ON (the tests are required),
# GoogleTest too. Run by `make configure`. Where one is missing, it is
# installed when this runs as root with apt-get at hand; otherwise the build
# stops here with the command that installs them.
set -eu

packages="pkg-config libpng-dev libjpeg62-turbo-dev libtiff-dev zlib1g-dev"
if [ "${1:-OFF}" = ON ]; then
  packages="$packages libgtest-dev libgmock-dev"
fi

if command -v dpkg-query >/dev/null 2>&1; then
  missing=""
  for package in $packages; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
    case $status in
      *" installed") ;;
      *) missing="$missing $package" ;;
    esac
  done
else
  # Not a Debian system: the libraries only have to be where pkg-config finds them.
  missing=""
  if ! command -v pkg-config >/dev/null 2>&1 || ! pkg-config --exists libpng libjpeg libtiff-4; then
    echo "The build needs pkg-config and the development files of libpng, libjpeg and libtiff." >&2
    exit 1
  fi
fi

[ -z "$missing" ] && exit 0

if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
  echo "Installing the image libraries' development packages:$missing" >&2
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing >/dev/null
  exit 0
fi

echo "The build needs these packages, missing here:$missing" >&2
echo "Install them with:  sudo apt-get install -y$missing" >&2
exit 1
