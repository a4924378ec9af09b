#!/usr/bin/env bash
# Debian's python3 with Debian's pandas (python3-pandas), whatever python3 comes first in PATH.
# Usage: pandas_recipe_test.sh SOURCE_DIR PROGRAM
set -euo pipefail
exec /usr/bin/python3 "$1/tests/scripts/pandas_recipe_test.py" "$2" "$1/docs/how-to/load-results.md"
