#!/usr/bin/env bash
# Builds the Debian package from a finished build, checks its name, version and computed
# dependencies, unpacks it into a scratch root and uses what it holds there: the program,
# the man page, the bash completion (found by bash-completion's own loader) and the
# documents. Also checks `cmake --install` into a prefix and that apt would install it.
# Usage: package_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(realpath "$1")
source=$(realpath "$2")

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# One version everywhere: the build, the citation file, the changelog's newest entry.
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || fail "no project version in $build/CMakeCache.txt"
cited=$(sed -n 's/^version: *//p' "$source/CITATION.cff")
[ "$cited" = "$version" ] || fail "CITATION.cff says version '$cited', the build $version"
logged=$(sed -n 's/^## \([0-9][0-9.]*\).*/\1/p' "$source/CHANGELOG.md" | head -n 1)
[ "$logged" = "$version" ] || fail "CHANGELOG.md's newest entry is '$logged', the build $version"

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/package" >"$scratch/cpack.log" 2>&1 ||
  { cat "$scratch/cpack.log" >&2; fail "cpack -G DEB failed"; }
deb="$scratch/package/hostswitch_${version}_amd64.deb"
[ -f "$deb" ] || fail "no $(basename "$deb"); made: $(ls "$scratch/package")"

[ "$(dpkg-deb -f "$deb" Package)" = hostswitch ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version"
[ "$(dpkg-deb -f "$deb" Architecture)" = amd64 ] || fail "architecture"
depends=$(dpkg-deb -f "$deb" Depends)
# The C++ runtime is only there when the dependencies were read off the binary.
for library in libc6 libstdc++6 libgcc-s1; do
  [[ ", $depends" == *", $library (>= "[0-9]* ]] || fail "Depends lacks $library: '$depends'"
done

root="$scratch/root"
dpkg-deb -x "$deb" "$root"
for file in usr/bin/hostswitch usr/share/man/man1/hostswitch.1.gz usr/share/doc/hostswitch/copyright \
  usr/share/bash-completion/completions/hostswitch usr/share/doc/hostswitch/README.md \
  usr/share/doc/hostswitch/LICENSE usr/share/doc/hostswitch/CHANGELOG.md \
  usr/share/doc/hostswitch/model.md; do
  [ -s "$root/$file" ] || fail "the package lacks /$file"
done
grep -q "^MIT License" "$root/usr/share/doc/hostswitch/LICENSE" || fail "LICENSE is not MIT"
# Debian's machine-readable copyright format: a header paragraph, then the files' licence.
copyright="$root/usr/share/doc/hostswitch/copyright"
head -n 1 "$copyright" | grep -qx "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" ||
  fail "copyright lacks its Format line"
grep -qx "Files: \*" "$copyright" && grep -qx "License: Expat" "$copyright" ||
  fail "copyright names no licence for every file"
gzip -t "$root/usr/share/man/man1/hostswitch.1.gz" || fail "the man page is not gzip"

[ "$("$root/usr/bin/hostswitch" --version)" = "hostswitch $version" ] || fail "unpacked --version"

page="$root/usr/share/man/man1/hostswitch.1.gz"
MANWIDTH=100 man --warnings -P cat -l "$page" >"$scratch/page.txt" 2>"$scratch/warnings.txt" ||
  fail "man -l failed: $(cat "$scratch/warnings.txt")"
[ ! -s "$scratch/warnings.txt" ] || fail "the page has roff warnings: $(cat "$scratch/warnings.txt")"
for text in "hostswitch - simulate a parasite population" SYNOPSIS DESCRIPTION OPTIONS EXAMPLES \
  "Command run:" "Command sweep:" "Command plot:" "Command merge:" --emig-rate --emit-commands \
  --stats "hostswitch run --seed 2367781" "splitmix64" "hostswitch $version"; do
  grep -qF -- "$text" "$scratch/page.txt" || fail "the man page lacks '$text'"
done
# Every option of merge starts a line of its own (not run together into one paragraph).
merge_help=$("$root/usr/bin/hostswitch" merge --help)
merge_page=$(sed -n '/^ *Command merge:/,/^ *Command [a-z]*:/p' "$scratch/page.txt" | sed '$d')
for option in $(grep -o -- '--[a-z-]*' <<<"$merge_help" | grep -vx -- '--help' | sort -u); do
  grep -qE -- "^ +$option([ =,]|$)" <<<"$merge_page" || fail "merge's $option is not on a line of its own"
done
# The page's examples (docs/hostswitch.h2m), multi-line commands kept as written.
for line in \
  "hostswitch sweep --emig-rate 0.05,0.1 --replicates 100 --seed 7 --emit-commands --parts 20 > commands.txt" \
  "hostswitch sweep --emig-rate 0.05,0.1 --replicates 100 --seed 7 --slurm sweep1 \\" \
  "    --parts 50 --slurm-option=--time=1:00:00 --slurm-option=--mem=2G" \
  "parallel < commands.txt" "hostswitch merge runs --summary summary.csv"; do
  grep -qxF -- "           $line" "$scratch/page.txt" || fail "the man page breaks the example '$line'"
done
for text in MODEL "(eqn 1)" "(eqn 2)" "w(z) = w_max exp(-(z - r)^2 / (2 sdr^2))" stats.csv \
  report.html trajectories.csv summary.json manifest.json; do
  grep -qF -- "$text" "$scratch/page.txt" || fail "the man page lacks '$text'"
done

# bash-completion's loader finds the completion under the data directory it searches.
found=$(XDG_DATA_DIRS="$root/usr/share" bash -c '
  source /usr/share/bash-completion/bash_completion
  __load_completion hostswitch && complete -p hostswitch')
[ "$found" = "complete -F _hostswitch hostswitch" ] || fail "bash-completion loaded: '$found'"

cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
for file in bin/hostswitch share/man/man1/hostswitch.1.gz share/bash-completion/completions/hostswitch \
  share/doc/hostswitch/README.md share/doc/hostswitch/LICENSE share/doc/hostswitch/CHANGELOG.md \
  share/doc/hostswitch/model.md; do
  [ -s "$scratch/prefix/$file" ] || fail "cmake --install lacks $file"
done

# The Python module, when the build has it: in Debian's dist-packages inside the package, in
# the versioned directory under any other prefix, importable from both.
if grep -q '^HOSTSWITCH_PYTHON:BOOL=ON' "$build/CMakeCache.txt"; then
  python_check='import hostswitch; assert hostswitch.run(n_gen=3, seed=1).generations_run >= 1'
  PYTHONPATH="$root/usr/lib/python3/dist-packages" /usr/bin/python3 -c "$python_check" ||
    fail "the package's Python module does not import from /usr/lib/python3/dist-packages"
  site=$(echo "$scratch"/prefix/lib/python3.*/dist-packages)
  PYTHONPATH="$site" /usr/bin/python3 -c "$python_check" ||
    fail "cmake --install put no importable Python module in $site"
fi

# apt resolves the dependencies against this system's archive (simulation only).
apt-get install -s -o Debug::NoLocking=1 "$deb" >"$scratch/apt.log" 2>&1 ||
  { cat "$scratch/apt.log" >&2; fail "apt-get install -s refused the package"; }
grep -q "^Inst hostswitch ($version " "$scratch/apt.log" || fail "apt would not install it"

echo "package $(basename "$deb") checked (Depends: $depends)"
