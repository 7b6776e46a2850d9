#!/usr/bin/env bash
# The manual page and bash completion made from trailmark's help texts:
#   test-help-pages.sh TRAILMARK BUILT_DIR
set -euo pipefail
trailmark=$1 built=$2
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/test-help-pages.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# Plain text of a page, as man shows it on a wide terminal.
render() { groff -man -Tascii -P-cbou -rLL=200n "$1"; }

# The words the completion offers for a command line, the cursor on its last word.
complete_words() {
  bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _trailmark; echo "${COMPREPLY[*]}"' \
    _ "$completion" "$@"
}
expect_completion() {
  local expected=$1 got
  shift
  got=$(cd "$work/cwd" && complete_words "$@")
  [ "$got" = "$expected" ] || fail "completing '$*' offers '$got', not '$expected'"
}

# A help layout the real program does not show yet: a name that reaches the
# description column, a description on two lines, text that roff would take
# for requests and escapes, a group heading and a footer.
mkdir -p "$work/fake"
cat >"$work/fake/trailmark" <<'EOF'
#!/bin/sh
case "$*" in
--version) echo "trailmark 9.9" ;;
--help) printf '%s\n' "Fake" "Usage: trailmark [OPTIONS] SUBCOMMAND" "" "Options:" \
  "  -h,--help                   Print this help message and exit" "" "Subcommands:" \
  "  run                         Run it" "" "Environment:" \
  "  FAKE_DIR                    the folder" "                              it reads" ;;
"run --help") printf '%s\n' "Run it" "Usage: trailmark run [OPTIONS] FILE DIR" "" "Positionals:" \
  "  FILE TEXT REQUIRED          input" "  DIR TEXT REQUIRED           output folder" "" "Options:" \
  "  -h,--help                   Print this help message and exit" \
  "  --a-name-longer-than-the-column TEXT" "                              first line" \
  "                              .second line, C:\\path" "" "Choices:" \
  "  --mode TEXT:{fast,slow}     'quoted' mode" "" "Exit status:" "  3  port cannot be opened" ;;
*) exit 1 ;;
esac
EOF
chmod +x "$work/fake/trailmark"
sh "$here/help-pages.sh" "$work/fake/trailmark" "$work/fake-out"
fake_page=$(render "$work/fake-out/trailmark.1")
for text in "--a-name-longer-than-the-column TEXT" "first line" ".second line, C:\\path" "'quoted' mode" \
            "Choices:" "--mode TEXT:{fast,slow}" "3  port cannot be opened"; do
  grep -qF -- "$text" <<<"$fake_page" || fail "the page lost the help text \"$text\""
done
# The program's own "Environment:" becomes the page's section, after the subcommands.
awk '/^ENVIRONMENT$/ { s = 1 } s && /^ +FAKE_DIR$/ { n = NR } s && n && NR == n + 1 && /the folder/ { ok = 1 }
     END { exit !ok }' <<<"$fake_page" || fail "the program's Environment did not become the ENVIRONMENT section"
completion="$work/fake-out/trailmark.bash"
mkdir -p "$work/cwd/folder"
touch "$work/cwd/file"
expect_completion "-h --help --a-name-longer-than-the-column --mode" trailmark run -
expect_completion "fast slow" trailmark run --mode ""
expect_completion "folder" trailmark run file ""

# The real program: every option of every subcommand is on the page in its
# subcommand's section and completes there; roff finds nothing to warn about.
page="$built/trailmark.1"
completion="$built/trailmark.bash"
warnings=$(groff -man -Tutf8 -ww -z "$page" 2>&1) || true
[ -z "$warnings" ] || fail "roff warns about the page: $warnings"
rendered=$(render "$page")
for sub in $("$trailmark" --help | sed -n '/^Subcommands:/,/^$/p' | awk 'NR > 1 && NF { print $1 }'); do
  section=$(awk -v s="   trailmark $sub" '$0 == s { on = 1; next } /^   trailmark / || /^[A-Z]/ { on = 0 } on' <<<"$rendered")
  offered=" $(complete_words trailmark "$sub" -) "
  for option in $("$trailmark" "$sub" --help | grep -E '^  -' | sed -E 's/^  ([^ ]*).*/\1/' | tr ',' ' '); do
    [ "$option" = -h ] || [ "$option" = --help ] || grep -qE -- "(^| )$option( |,|$)" <<<"$section" ||
      fail "the page's section of $sub lacks $option"
    [[ $offered == *" $option "* ]] || fail "completion of 'trailmark $sub -' lacks $option"
  done
done
# ENVIRONMENT, EXIT STATUS and FILES come from the program's own help text.
for text in ENVIRONMENT TRAILMARK_COMn TRAILMARK_MONITOR_DIR TRAILMARK_STATE_DIR XDG_STATE_HOME "EXIT STATUS" FILES; do
  grep -q "^ *$text\$" <<<"$rendered" || fail "the page has no entry or section \"$text\""
done
expect_completion "upgrade" trailmark up
expect_completion "COM1 COM2 COM3 COM4 COM5 COM6 COM7 COM8 COM9" trailmark upgrade --port C
expect_completion "" trailmark upgrade --port COM3 C
expect_completion "boot" trailmark receiver --mode = b

[ "$failures" = 0 ] || exit 1
echo "the page and the completion hold every option of the help texts"
