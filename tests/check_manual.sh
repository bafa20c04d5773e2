#!/bin/sh
# The manual page renders without a single warning.
#   check_manual.sh PAGE
set -eu
warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 \
           man --warnings -l "$1" 2>&1 >/dev/null)
if [ -n "$warnings" ]; then
  printf '%s\n' "$warnings" >&2
  exit 1
fi
echo "$1: renders without warnings"
