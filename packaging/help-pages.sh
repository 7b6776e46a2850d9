#!/bin/sh
# Writes the manual page and the bash completion of a command-line program
# from its own help texts, so that both follow every change of its options:
#   help-pages.sh PROGRAM OUTDIR
# runs PROGRAM --help, PROGRAM SUB --help for each subcommand it lists (and
# so on for theirs), and writes OUTDIR/NAME.1, OUTDIR/NAME.1.gz and
# OUTDIR/NAME.bash, NAME being the program's file name without ".exe". The
# page ends with NAME.1.tail and the completion with NAME-completion.bash,
# both from this folder. The page's date is SOURCE_DATE_EPOCH's when set
# (reproducible builds), else today's.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
program=$1
out=$2
name=$(basename "$program" .exe)
work=$(mktemp -d "${TMPDIR:-/tmp}/help-pages.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The subcommands a help text lists, one a line.
subcommands() {
  awk '/^Subcommands:$/ { on = 1; next } /^[^ ]/ || /^$/ { on = 0 } on && /^  [^ ]/ { print $1 }' "$1"
}

# Breadth first: help texts are numbered in the order the page shows them.
n=0
echo "" >"$work/paths"
while IFS= read -r path; do
  n=$((n + 1))
  # shellcheck disable=SC2086  # the path's words are the subcommands
  "$program" $path --help >"$work/$n.txt" || { echo "help-pages.sh: $name $path --help failed" >&2; exit 1; }
  for sub in $(subcommands "$work/$n.txt"); do
    echo "${path:+$path }$sub" >>"$work/paths"
  done
done <"$work/paths"

files=$(i=1; while [ "$i" -le "$n" ]; do printf '%s ' "$work/$i.txt"; i=$((i + 1)); done)
version=$("$program" --version | head -n 1)
if [ -n "${SOURCE_DATE_EPOCH:-}" ]; then
  date=$(date -u -d "@$SOURCE_DATE_EPOCH" +%Y-%m-%d)
else
  date=$(date -u +%Y-%m-%d)
fi
mkdir -p "$out"
# shellcheck disable=SC2086  # one word per help file
awk -v man="$work/page" -v completion="$work/data" -v version="$version" -v date="$date" \
    -f "$here/help-pages.awk" $files
[ -f "$here/$name.1.tail" ] && cat "$here/$name.1.tail" >>"$work/page"
cat "$work/data" "$here/$name-completion.bash" >"$out/$name.bash"
cp "$work/page" "$out/$name.1"
gzip -9n -c "$work/page" >"$out/$name.1.gz"
