#!/usr/bin/env bash
# Builds the R package from the tree, checks it with R CMD check --no-manual (its tests run
# against PROGRAM), refuses any ERROR or WARNING, installs the tarball into a scratch library
# (BUILD_DIR/r-package/library, kept for bench/bindings_bench.sh) and compares a run there
# with the program's results file.
# Usage: check_package.sh SOURCE_DIR BUILD_DIR PROGRAM
set -euo pipefail
source=$1
out=$2/r-package
program=$3
"$source/scripts/install-deps"
mkdir -p "$out"
# A second compile of the same sources (check, then install) comes from the cache.
if command -v ccache >/dev/null; then
  printf 'CXX20 = ccache g++\n' >"$out/Makevars.user"
  export R_MAKEVARS_USER="$out/Makevars.user"
fi
export MAKEFLAGS=-j2
tarball=$("$source/scripts/build-r-package" "$out")
cd "$out"
rm -rf hostswitch.Rcheck
HOSTSWITCH_EXECUTABLE=$program nice R CMD check --no-manual "$tarball" >check.log 2>&1 ||
  { cat check.log >&2; cat hostswitch.Rcheck/tests/testthat.Rout.fail 2>/dev/null >&2; exit 1; }
if grep -E '\.\.\. (ERROR|WARNING)' hostswitch.Rcheck/00check.log; then
  cat hostswitch.Rcheck/00check.log >&2
  exit 1
fi
grep -E '(NOTE|Status:)' hostswitch.Rcheck/00check.log || true

library=$out/library
rm -rf "$library"
mkdir -p "$library"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
nice R CMD INSTALL -l "$library" "$tarball" >install.log 2>&1 || { cat install.log >&2; exit 1; }
"$program" run --seed 7 --emig-rate 0.2 --output "$scratch/cli.txt" >/dev/null
R_LIBS="$library" Rscript -e "hostswitch::hs_write_results(hostswitch::hs_run(emig_rate = 0.2,
  seed = 7), '$scratch/r.txt')"
cmp "$scratch/cli.txt" "$scratch/r.txt"
echo "R package $(basename "$tarball") checked and installed"
