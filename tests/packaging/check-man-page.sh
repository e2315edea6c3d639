#!/bin/sh
# Checks the manual page the build makes from a --help text (packaging/man-from-help.awk):
# every option of the help is an item of OPTIONS, every headed section of the help is a
# section of the page, no word of the help is lost, and groff reads the page without a
# warning (so nothing in the text was taken for a request).
#
#   check-man-page.sh CONVERTER HELP-FILE|--program PROGRAM
# Exit status 77 (skipped) when groff is missing; scripts/test installs it.
set -eu
converter=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/quorvel-man.XXXXXX")
trap 'rm -rf "$work"' EXIT
if [ "$2" = --program ]; then
  "$3" --help >"$work/help.txt"
else
  cp "$2" "$work/help.txt"
fi
awk -f "$converter" -v name=quorvel-cli -v version="quorvel 1.0" -v date=2026-12-07 \
  -v summary="load firmware" "$work/help.txt" >"$work/page.1"

fail() { echo "FAIL: $*" >&2; status=1; }
status=0

# Every option name on an option line of the help ("  -x, --name VALUE  text") is in an
# item's tag in OPTIONS.
sed -n '/^\.SH "OPTIONS"/,/^\.SH/p' "$work/page.1" | sed -n '/^\.TP/{n;p;}' |
  sed 's/\\-/-/g; s/\\f[BIRP]//g' >"$work/tags.txt"
grep -E '^ {1,4}-' "$work/help.txt" | grep -oE '(^|[ ,[])--?[A-Za-z][-A-Za-z0-9]*' |
  sed 's/^[ ,[]*//' | sort -u >"$work/options.txt"
[ -s "$work/options.txt" ] || fail "no options found in the help text"
while read -r option; do
  grep -qE -- "(^|[ ,])$option([ ,=]|$)" "$work/tags.txt" || fail "option $option is not an item of OPTIONS"
done <"$work/options.txt"

# A tag holds the option names and their values, no text: after each name at most one value
# ("-p, --port N|DEVICE", "--file=PATH"); any other item's tag is a word or two ("0",
# "ask").
sed -n '/^\.TP/{n;p;}' "$work/page.1" | sed 's/\\-/-/g; s/\\f[BIRP]//g; s/[][,]/ /g; s/=/ /' |
  awk '{ names = 0; values = 0
         for (i = 1; i <= NF; i++) if ($i ~ /^-/) names++; else values++
         if (names ? values > names : NF > 2) { print "FAIL: text in the tag: " $0; bad = 1 } }
       END { exit bad }' >&2 || status=1

# Option names are typed with \- (a minus sign, not a hyphen), so that what a reader copies
# from the page works on the command line.
if grep -v '^\.\\"' "$work/page.1" | grep -nE '(^|[ ([|]|\\f[BIR])-'; then
  fail "option names with plain hyphens (above)"
fi

# Every heading ("Exit status:") is a section ("EXIT STATUS").
grep -E '^[^ ].{0,38}:$' "$work/help.txt" | grep -v '^Usage:' | sed 's/:$//' |
  while read -r heading; do
    upper=$(printf '%s' "$heading" | tr '[:lower:]' '[:upper:]')
    grep -qxF ".SH \"$upper\"" "$work/page.1" || { echo "FAIL: no section $upper" >&2; exit 1; }
  done || status=1

# No word is lost: each word of the help (headings aside) occurs in the page's text at
# least as often.
awk '
  function words(s, into,   n, i, w) {
    n = split(s, w, /[ \t]+/)
    for (i = 1; i <= n; i++) if (w[i] != "") into[w[i]]++
  }
  FNR == 1 { file++ }
  file == 1 {
    if ($0 ~ /^[^ ].*:$/ && length($0) <= 40) next
    sub(/^Usage:/, ""); words($0, help); next
  }
  /^\.\\"/ { next }
  {
    line = $0
    if (line ~ /^\.[A-Za-z]/) { sub(/^\.[A-Za-z]+ */, "", line); gsub(/"/, "", line) }
    gsub(/\\f[BIRP]/, "", line); gsub(/\\-/, "-", line); gsub(/\\&/, "", line)
    gsub(/\\e/, "\\", line)
    words(line, page)
  }
  END {
    for (w in help) if (page[w] < help[w]) { print "FAIL: lost word: " w; bad = 1 }
    exit bad
  }' "$work/help.txt" "$work/page.1" >&2 || status=1

if command -v groff >/dev/null; then
  LC_ALL=C.UTF-8 groff -man -ww -z "$work/page.1" 2>"$work/warnings.txt" || true
  [ ! -s "$work/warnings.txt" ] || fail "groff warns: $(cat "$work/warnings.txt")"
else
  echo "groff is missing: the page is not rendered" >&2
  [ $status -eq 0 ] && exit 77
fi
[ $status -eq 0 ] || { echo "--- the page:" >&2; cat "$work/page.1" >&2; }
exit $status
