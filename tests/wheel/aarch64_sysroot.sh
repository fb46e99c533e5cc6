#!/usr/bin/env bash
# An aarch64 CPython from Debian's packages, unpacked into DIR (never installed),
# with pytest and the tests' oracles under DIR/site, for qemu-aarch64-static -L DIR.
# Kept once complete: reruns return at once.
#
# Usage: aarch64_sysroot.sh DIR PIP
set -euo pipefail
dir=$1 pip=$2
[ -e "$dir/.complete" ] && exit 0

# The arm64 package lists, once per machine; nothing of arm64 gets installed.
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
  dpkg --add-architecture arm64
  apt-get update -qq
elif ! apt-cache show libc6:arm64 >/dev/null 2>&1; then
  apt-get update -qq
fi

rm -rf "$dir" && mkdir -p "$dir/debs"
packages=(libc6 libgcc-s1 libstdc++6 python3.11-minimal libpython3.11-minimal libpython3.11-stdlib
          libexpat1 zlib1g libffi8 libssl3 libbz2-1.0 liblzma5 libuuid1 libcrypt1)
(cd "$dir/debs" && apt-get download -qq "${packages[@]/%/:arm64}")
for deb in "$dir"/debs/*.deb; do dpkg-deb -x "$deb" "$dir"; done
rm -rf "$dir/debs"

# Binary wheels for aarch64 where a package has them (PyNaCl, cffi), pure ones otherwise.
"$pip" install -q --target "$dir/site" --platform manylinux2014_aarch64 --python-version 3.11 \
  --implementation cp --only-binary=:all: pytest hypothesis pynacl
touch "$dir/.complete"
