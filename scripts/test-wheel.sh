#!/usr/bin/env bash
# Installs the repaired wheel into a fresh virtual environment (no system site-packages) and
# shows that it stands on its own: ldd on the installed extension must resolve ICU and OpenSSL
# from the wheel's own library directory and need no zlib (it is linked in), never a system copy;
# then the quick start runs with LD_LIBRARY_PATH unset, and, where a private mount namespace can
# be made (root), runs again with the system's ICU and OpenSSL libraries covered so they cannot
# be opened at all.
#   scripts/test-wheel.sh PYTHON WHEEL_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
python=$1 dir=$2
wheels=("$dir"/tarnwell-*manylinux*.whl)
[[ -f ${wheels[0]} && ${#wheels[@]} -eq 1 ]] || { echo "expected one repaired wheel in $dir" >&2; exit 1; }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$python" -m venv "$tmp/venv"
venv_py=$tmp/venv/bin/python
"$venv_py" -m pip install --quiet --disable-pip-version-check --no-index "${wheels[0]}"

ext=$(env -u LD_LIBRARY_PATH "$venv_py" -c 'import _tarnwell; print(_tarnwell.__file__)')
libs_dir=$(dirname "$ext")/tarnwell.libs
echo "installed extension: $ext"
ldd_out=$(env -u LD_LIBRARY_PATH ldd "$ext")
echo "$ldd_out"
fail=0
if grep -q "not found" <<<"$ldd_out"; then
  echo "FAIL: a library of the extension does not resolve" >&2
  fail=1
fi
# ICU and OpenSSL travel as copies in the wheel's library directory; zlib is linked into the
# extension, so nothing named libz may be loaded for it at all.
for lib in libicuuc libicudata libcrypto libz; do
  line=$(grep -E "^\s*$lib[-.]" <<<"$ldd_out" || true)
  if [[ $lib == libz && -z $line ]]; then
    echo "libz: linked into the extension"
  elif [[ -z $line ]]; then
    echo "FAIL: $lib is not among the extension's libraries" >&2
    fail=1
  elif [[ $line != *"=> $libs_dir/"* ]]; then
    echo "FAIL: $lib resolves outside the wheel: $line" >&2
    fail=1
  fi
done
((fail == 0)) || exit 1

# From a directory outside the checkout, so nothing is imported from the source tree.
quickstart=$PWD/examples/quickstart.py
(cd "$tmp" && env -u LD_LIBRARY_PATH "$venv_py" "$quickstart" >"$tmp/quickstart.out")
echo "quick start ran from the wheel ($(wc -l <"$tmp/quickstart.out") lines of output)"

# zlib stays visible: the interpreter's own zlib module (which the quick start imports) needs it.
if [[ $(id -u) -eq 0 ]] && unshare --mount true 2>/dev/null; then
  hidden=()
  for soname in libicuuc.so libicudata.so libicui18n.so libcrypto.so libssl.so; do
    while IFS= read -r f; do hidden+=("$f"); done < <(
      find /lib /usr/lib /usr/local/lib -maxdepth 2 -name "$soname.*" -type f 2>/dev/null)
  done
  (cd "$tmp" && env -u LD_LIBRARY_PATH unshare --mount bash -c '
    set -e
    for f in "${@:2}"; do mount --bind /dev/null "$f"; done
    exec "$1" '"'$quickstart'"' >/dev/null' _ "$venv_py" "${hidden[@]}")
  echo "quick start ran again with ${#hidden[@]} system ICU and OpenSSL files covered"
fi
echo "wheel test passed: ${wheels[0]##*/}"
