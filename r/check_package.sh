#!/usr/bin/env bash
# Builds the R package from the tree (its help pages from roxygen2, its vignette knitted),
# checks it with R CMD check --no-manual (its tests run against PROGRAM; the vignette is knitted
# again), refuses any ERROR or WARNING and any NOTE CRAN would not take, installs the tarball
# into a scratch library (BUILD_DIR/r-package/library, kept for bench/bindings_bench.sh) and
# compares a run there with the program's results file.
# Usage: check_package.sh SOURCE_DIR BUILD_DIR PROGRAM
set -euo pipefail
source=$1
out=$2/r-package
program=$3
mkdir -p "$out"
# The compiles after the first (build's, check's and the install's, each in a scratch folder of
# its own) come from the cache, which then must not hash the folder.
if command -v ccache >/dev/null; then
  printf 'CXX20 = ccache g++\n' >"$out/Makevars.user"
  export R_MAKEVARS_USER="$out/Makevars.user" CCACHE_NOHASHDIR=1
fi
export MAKEFLAGS=-j2
tarball=$("$source/scripts/build-r-package" "$out")
contents=$(tar -tzf "$tarball")
for file in man/hs_sweep.Rd man/hostswitch-package.Rd inst/doc/hostswitch.html; do
  grep -qx "hostswitch/$file" <<<"$contents" || { echo "the tarball lacks $file" >&2; exit 1; }
done
cd "$out"
rm -rf hostswitch.Rcheck
HOSTSWITCH_EXECUTABLE=$program nice R CMD check --no-manual "$tarball" >check.log 2>&1 ||
  { cat check.log >&2; cat hostswitch.Rcheck/tests/testthat.Rout.fail 2>/dev/null >&2; exit 1; }
if grep -E '\.\.\. (ERROR|WARNING)' hostswitch.Rcheck/00check.log; then
  cat hostswitch.Rcheck/00check.log >&2
  exit 1
fi
# The NOTEs CRAN takes: a compiled library's installed size, and a clock that cannot be
# checked offline.
if grep -E '\.\.\. NOTE' hostswitch.Rcheck/00check.log |
  grep -vE 'checking (installed package size|for future file timestamps)'; then
  cat hostswitch.Rcheck/00check.log >&2
  exit 1
fi
grep -q 'checking re-building of vignette outputs \.\.\. OK' hostswitch.Rcheck/00check.log ||
  { cat hostswitch.Rcheck/00check.log >&2; echo "the vignette was not rebuilt" >&2; exit 1; }
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
# The installed package's vignette and help, as a user finds them.
R_LIBS="$library" Rscript -e 'stopifnot(identical(vignette(package = "hostswitch")$results[, "Item"],
  "hostswitch"), length(help("hs_sweep", package = "hostswitch")) == 1)'
echo "R package $(basename "$tarball") checked and installed"
