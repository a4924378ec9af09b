#!/usr/bin/env bash
# Every project include must point to the same folder or a lower one:
# base < model < reporting < batch < analysis < console; nothing includes web/, the outermost shell.
# Usage: include_layers.sh SOURCE_DIR
set -euo pipefail
cd "$1"

rank() {
  case "$1" in
    base) echo 1 ;;
    model) echo 2 ;;
    reporting) echo 3 ;;
    batch) echo 4 ;;
    analysis) echo 5 ;;
    console) echo 6 ;;
    web) echo 7 ;;
    *) echo 0 ;;
  esac
}

faults=0
for folder in base model reporting batch analysis console web; do
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
