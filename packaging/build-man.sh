#!/bin/sh
# Writes a compressed manual page for the build (gzip -9n: no name or time stamp inside, so
# the same page gives the same file).
#   build-man.sh page OUT.gz PAGE
#       a hand-written page
#   build-man.sh help OUT.gz PROGRAM CONVERTER TAIL NAME VERSION DATE SUMMARY
#       a page made from PROGRAM --help by the awk CONVERTER, TAIL appended
set -eu
mode=$1 out=$2
tmp="$out.tmp"
trap 'rm -f "$tmp" "$tmp.help"' EXIT
case "$mode" in
  page)
    cp "$3" "$tmp" ;;
  help)
    # The program's own words; a program that fails here fails the build rather than
    # leave an empty page.
    LC_ALL=C.UTF-8 QT_QPA_PLATFORM=offscreen "$3" --help >"$tmp.help"
    [ -s "$tmp.help" ] || { echo "build-man.sh: $3 --help printed nothing" >&2; exit 1; }
    awk -f "$4" -v tail="$5" -v name="$6" -v version="$7" -v date="$8" -v summary="$9" \
      "$tmp.help" >"$tmp" ;;
  *)
    echo "usage: build-man.sh page|help OUT.gz ..." >&2; exit 2 ;;
esac
gzip -9n -c "$tmp" >"$out"
