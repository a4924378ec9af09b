#!/usr/bin/env bash
# python/ installed as a user installs it: pip install --no-build-isolation --target DIR with the
# machine's setuptools, pybind11 and CMake (--no-index: nothing fetched; --no-deps: --target
# ignores the pandas already installed), then imported from another directory, where its sweep
# writes the command line's summary to the byte. Also a wheel from python -m build. Both build
# the module in BUILD_DIR itself, which the test's own build has already compiled: what is tested
# here is the packaging, not a second compile of the library.
# Usage: pip_install_test.sh SOURCE_DIR BUILD_DIR PROGRAM PYTHON
set -euo pipefail
source=$1
build=$2
program=$3
python=$4
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export HOSTSWITCH_CMAKE_BUILD_DIR=$build
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || fail "no project version in $build/CMakeCache.txt"

site=$scratch/site
"$python" -m pip install --no-build-isolation --no-index --no-deps --target "$site" \
  "$source/python" >"$scratch/pip.log" 2>&1 || { cat "$scratch/pip.log" >&2; fail "pip install"; }
for file in __init__.py __init__.pyi py.typed; do
  [ -f "$site/hostswitch/$file" ] || fail "pip installed no hostswitch/$file"
done
ls "$site"/hostswitch-"$version".dist-info/METADATA >/dev/null || fail "no dist-info of version $version"

cd "$scratch"
grid=(--emig-rate 0.05,0.3 --max-dist 1,2 --n-gen 60 --replicates 3 --seed 5)
"$program" sweep "${grid[@]}" --jobs 2 --summary cli.csv >/dev/null
PYTHONPATH="$site" "$python" - "$site" <<'PY' || fail "the installed module's sweep"
import sys
import hostswitch
assert hostswitch.__file__.startswith(sys.argv[1]), hostswitch.__file__
hostswitch.sweep({"emig_rate": [0.05, 0.3], "max_dist": [1, 2], "n_gen": [60]}, replicates=3,
                 seed=5, jobs=1, summary="py.csv", progress=False)
PY
cmp cli.csv py.csv || fail "the installed module's summary differs from the command line's"

"$python" -m build --no-isolation --wheel --outdir "$scratch/dist" "$source/python" \
  >"$scratch/build.log" 2>&1 || { cat "$scratch/build.log" >&2; fail "python -m build --wheel"; }
wheel=$(echo "$scratch"/dist/hostswitch-"$version"-*.whl)
[ -f "$wheel" ] || fail "no wheel of version $version: $(ls "$scratch/dist")"
"$python" - "$wheel" <<'PY' || fail "the wheel's contents"
import sys, zipfile
names = zipfile.ZipFile(sys.argv[1]).namelist()
for wanted in ("hostswitch/__init__.py", "hostswitch/__init__.pyi", "hostswitch/py.typed"):
    assert wanted in names, (wanted, names)
assert any(n.startswith("hostswitch/_core") and n.endswith(".so") for n in names), names
PY
echo "pip install and wheel of hostswitch $version checked"
