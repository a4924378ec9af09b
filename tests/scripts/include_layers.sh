#!/usr/bin/env bash
# Every project include must point to the same folder or a lower one:
# model < reporting < batch < analysis < console; nothing includes web/, the outermost shell.
# Usage: include_layers.sh SOURCE_DIR
set -euo pipefail
cd "$1"

rank() {
  case "$1" in
    model) echo 1 ;;
    reporting) echo 2 ;;
    batch) echo 3 ;;
    analysis) echo 4 ;;
    console) echo 5 ;;
    web) echo 6 ;;
    *) echo 0 ;;
  esac
}

faults=0
for folder in model reporting batch analysis console web; do
  [ -d "$folder" ] || continue
  own=$(rank "$folder")
  while IFS=: read -r file line text; do
    target=$(sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^/"]+)\/.*/\1/' <<<"$text")
    target_rank=$(rank "$target")
    if [ "$target_rank" -gt "$own" ] || { [ "$target" = web ] && [ "$folder" != web ]; }; then
      echo "$file:$line: $folder/ includes the higher folder $target/: $text" >&2
      faults=$((faults + 1))
    fi
  done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^/"]+/' "$folder" || true)
done
if [ "$faults" -gt 0 ]; then
  echo "$faults includes run upward" >&2
  exit 1
fi
echo "every include points to its own folder or a lower one"
