#!/usr/bin/env bash
# Checks that every project include points down the layers: a unit may include only units of its
# own folder and of the folders beneath it. Prints each include that points up or sideways and
# exits 1 when there is one.
set -euo pipefail
cd "$(dirname "$0")/.."

# folder: the folders it may include besides itself
declare -A allowed=(
  [process]=""
  [readers]="process"
  [extract]="process readers"
  [record]="process"
  [driver]="process readers extract record"
  [walk]="process readers extract record driver"
  [store]="process record"
  [search]="process record store"
  [web]="process record store search"
  [server]="process record store search web"
)

status=0
for folder in "${!allowed[@]}"; do
  [ -d "$folder" ] || continue
  while IFS=: read -r file line text; do
    target=$(sed -E 's/.*#include "([^/"]+)\/.*/\1/' <<<"$text")
    [ "$target" = "$folder" ] && continue
    case " ${allowed[$folder]} " in
      *" $target "*) ;;
      *) echo "$file:$line: $folder/ includes $target/: $text"; status=1 ;;
    esac
  done < <(grep -Hn '^#include "[^/"]*/' "$folder"/*.h "$folder"/*.cpp 2>/dev/null || true)
done
[ "$status" -eq 0 ] && echo "layers: every include points down"
exit "$status"
