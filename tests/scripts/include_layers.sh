#!/usr/bin/env bash
# Every project include must point to the same folder or a lower one, and every layer's library
# link only lower layers: base < model < reporting < batch < analysis < api < console; nothing
# includes web/, python/ or r/, the outermost shells, and those two bindings include only api/
# and base/ (the api floor is all they ask of the library).
# Usage: include_layers.sh SOURCE_DIR [LAYER_LINKS_FILE]
set -euo pipefail
links=${2:-}
cd "$1"

rank() {
  case "$1" in
    base) echo 1 ;;
    model) echo 2 ;;
    reporting) echo 3 ;;
    batch) echo 4 ;;
    analysis) echo 5 ;;
    api) echo 6 ;;
    console) echo 7 ;;
    web | python | r) echo 8 ;;
    *) echo 0 ;;
  esac
}

faults=0
for folder in base model reporting batch analysis api console web python r; do
  [ -d "$folder" ] || continue
  own=$(rank "$folder")
  while IFS=: read -r file line text; do
    target=$(sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^/"]+)\/.*/\1/' <<<"$text")
    target_rank=$(rank "$target")
    if [ "$target_rank" -gt "$own" ] || { [ "$target_rank" -eq 8 ] && [ "$target" != "$folder" ]; }; then
      echo "$file:$line: $folder/ includes the higher folder $target/: $text" >&2
      faults=$((faults + 1))
    elif [[ $folder == python || $folder == r ]] && [ "$target_rank" -gt 0 ] &&
      [[ $target != api && $target != base && $target != "$folder" ]]; then
      echo "$file:$line: $folder/ includes $target/, not the api floor: $text" >&2
      faults=$((faults + 1))
    fi
  done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^/"]+/' "$folder" || true)
done
if [ -n "$links" ]; then
  while IFS=: read -r layer linked; do
    own=$(rank "$layer")
    for library in ${linked//;/ }; do
      case "$library" in hostswitch_*) ;; *) continue ;; esac
      target=${library#hostswitch_}
      target_rank=$(rank "$target")
      if [ "$target_rank" -gt 0 ] && [ "$target_rank" -ge "$own" ] && [ "$target" != "$layer" ]; then
        echo "$links: the $layer library links the same or a higher layer $target" >&2
        faults=$((faults + 1))
      fi
    done
  done <"$links"
fi
if [ "$faults" -gt 0 ]; then
  echo "$faults includes or links run upward" >&2
  exit 1
fi
echo "every include and link points to its own layer or a lower one"
