#!/usr/bin/env bash
# Every option the usage text lists has an entry of its own in the manual
# page: a .TP paragraph whose tag names it (".BI \-x FORMAT",
# ".BR \-v , \-\-version").
#
#   bash tests/docs/manual_options.sh LOGFETCH MANUAL
set -euo pipefail
logfetch=$1
manual=$2

usage=$("$logfetch" -?) || { echo "logfetch -? failed" >&2; exit 1; }
# The usage text's option lines: two blanks, then the option word.
mapfile -t listed < <(printf '%s\n' "$usage" | sed -n 's/^  \(--*[^ ]*\).*/\1/p')
[ "${#listed[@]}" -ge 10 ] || { echo "only ${#listed[@]} options in the usage text" >&2; exit 1; }

# The option words of each entry's tag line, quoted words left out.
entries=$(awk 'tag && /^\.(B|BI|BR) / {
                 line = $0; sub(/^\.[A-Z]+ /, "", line); gsub(/"[^"]*"/, " ", line)
                 n = split(line, w, " ")
                 for (i = 1; i <= n; i++) if (w[i] ~ /^\\-/) print w[i]
               }
               { tag = ($0 == ".TP") }' "$manual")

missing=0
for option in "${listed[@]}"; do
  escaped=${option//-/\\-}
  if ! grep -qxF -- "$escaped" <<<"$entries"; then
    echo "$manual has no entry for $option (a .TP tag naming $escaped)" >&2
    missing=1
  fi
done
[ "$missing" = 0 ] && echo "all ${#listed[@]} options of the usage text have an entry"
exit "$missing"
