#!/usr/bin/env bash
# Builds the Debian package in its own build directory (build-package/: RelWithDebInfo with
# Debian's hardening flags, libraries linked shared, binaries stripped by CPack) and leaves
# build/tessary_VERSION_ARCH.deb. Works on a clean clone; later runs rebuild what changed.
#
#   bash scripts/package.sh          prints the path of the package on its last line
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

# Debian's build flags (fortify, stack protector, relro, now, PIE), passed explicitly on every
# configure so that an existing build directory never keeps old ones.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cppflags="$(dpkg-buildflags --get CPPFLAGS)"
cxxflags="$(dpkg-buildflags --get CXXFLAGS)"
ldflags="$(dpkg-buildflags --get LDFLAGS)"

# libmagic, ICU and libcrypto are linked shared here, as Debian wants: their security updates
# then reach the programs without a rebuild. (tessary-walk pays the loader once per walk.)
cmake -S . -B build-package \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_INSTALL_PREFIX=/usr \
  -DTESSARY_DEBIAN_PACKAGE=ON \
  -DTESSARY_SYSTEMD_UNIT_DIR=/lib/systemd/system \
  -DTESSARY_STATIC_LIBS=OFF \
  -DTESSARY_TESTS=OFF \
  -DTESSARY_FUZZ=OFF \
  -DCMAKE_CXX_FLAGS="$cppflags $cxxflags" \
  -DCMAKE_EXE_LINKER_FLAGS="$ldflags" > /dev/null
nice cmake --build build-package -j"$(nproc)"

rm -f build-package/tessary_*.deb
(cd build-package && cpack -G DEB > /dev/null)
debs=(build-package/tessary_*.deb)
if [ "${#debs[@]}" -ne 1 ] || [ ! -f "${debs[0]}" ]; then
  echo "package.sh: expected one tessary_*.deb in build-package/, found: ${debs[*]}" >&2
  exit 1
fi
mkdir -p build
rm -f build/tessary_*.deb
cp "${debs[0]}" build/
echo "build/$(basename "${debs[0]}")"
