#!/usr/bin/env bash
# The documentation site: the committed reference page is the program's own --help-all made
# Markdown, every long flag is in it, and `mkdocs build --strict` makes the site (with its
# search index, nothing fetched from elsewhere, every section a link names there) into
# BUILD_DIR/site.
# Usage: docs_site_test.sh SOURCE_DIR BUILD_DIR PROGRAM
set -euo pipefail
source=$1
build=$2
program=$3
fail() { echo "FAIL: $*" >&2; exit 1; }
"$source/scripts/install-deps" test
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

reference=$source/docs/reference/commands.md
/usr/bin/python3 "$source/scripts/docs-reference" "$program" "$scratch/commands.md"
diff -u "$reference" "$scratch/commands.md" >"$scratch/diff" ||
  { cat "$scratch/diff" >&2
    fail "docs/reference/commands.md is not the program's help: run" \
      "scripts/docs-reference $program docs/reference/commands.md"; }

flags=$("$program" --help-all | grep -oE -- '--[a-z0-9][a-z0-9-]*' | sort -u)
[ -n "$flags" ] || fail "--help-all lists no long flag"
for flag in $flags; do
  grep -qF -- "$flag" "$reference" || fail "the reference lacks $flag"
done

site=$build/site
mkdocs build --strict --quiet --config-file "$source/mkdocs.yml" --site-dir "$site" \
  2>"$scratch/mkdocs.log" || { cat "$scratch/mkdocs.log" >&2; fail "mkdocs build --strict failed"; }
for page in index.html tutorial.html how-to/cluster.html reference/commands.html model.html \
  explanation/performance.html search/search_index.json; do
  [ -s "$site/$page" ] || fail "the site lacks $page"
done
/usr/bin/python3 "$source/tests/scripts/docs_links_test.py" "$source/docs" "$site"
grep -q -- '--emit-commands' "$site/search/search_index.json" || fail "search does not index the reference"
# Offline: no page loads a font, script or style sheet from another host.
if grep -rlE '<(link|script)[^>]+(href|src)="(https?:)?//' "$site" --include='*.html' >"$scratch/remote"; then
  fail "pages load from elsewhere: $(head -3 "$scratch/remote")"
fi
echo "reference current ($(wc -w <<<"$flags") long flags), site built into $site"
