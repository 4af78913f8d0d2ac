#!/usr/bin/env bash
# Each program answers --help and --version with exit 0 and without a display, and its built
# manual page names every option its --help names.
#
# usage: man_pages.sh MAN_DIR PROGRAM...   (PROGRAM: the path of a built program)
set -euo pipefail
man_dir=$1
shift
fail() { echo "FAIL: $*" >&2; exit 1; }
unset DISPLAY WAYLAND_DISPLAY QTWEBENGINE_DISABLE_SANDBOX

for program in "$@"; do
  name=$(basename "$program")
  help=$("$program" --help) || fail "$name --help exited with $?"
  version=$("$program" --version) || fail "$name --version exited with $?"
  [ "$(wc -l <<<"$version")" = 1 ] || fail "$name --version gave more than one line: $version"
  [[ "$version" =~ [0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "$name --version names no version: $version"

  page=$man_dir/$name.1.gz
  [ -s "$page" ] || fail "no manual page $page"
  # The page as text: roff's escaped hyphens and font changes removed.
  text=$(gzip -dc "$page" | sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g')
  options=$(grep -oE '(^|[][ ,|(])--?[A-Za-z][A-Za-z0-9-]*' <<<"$help" | sed -E 's/^[][ ,|(]//' | sort -u)
  [ -n "$options" ] || fail "$name --help names no option"
  for option in $options; do
    grep -qE -- "(^|[^A-Za-z0-9-])$option([^A-Za-z0-9-]|$)" <<<"$text" || fail "the manual page of $name lacks $option"
  done
  grep -qE "^\.TH \"?${name^^}\"? " <<<"$text" || fail "the manual page of $name has another name: $(grep '^\.TH' <<<"$text")"
  number=${version##* }
  grep -qF -- "$name $number" <<<"$text" || fail "the manual page of $name is not of version $number"
  for section in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" ENVIRONMENT FILES EXAMPLES "SEE ALSO"; do
    grep -qE "^\.SH \"?$section\"?\$" <<<"$text" || fail "the manual page of $name has no $section section"
  done
  # Every usage line of --help is a line of its own in the synopsis.
  usages=$(grep -cE '^(Usage|  or): ' <<<"$help")
  synopsis=$(sed -n '/^\.SH "\?SYNOPSIS/,/^\.SH/p' <<<"$text" | grep -c '^\.B ')
  [ "$usages" = "$synopsis" ] || fail "the manual page of $name has $synopsis synopsis lines for $usages usage lines"
  if command -v man >/dev/null; then
    warnings=$(MANWIDTH=100 man --warnings -l "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "man --warnings on the page of $name: $warnings"
  fi
  echo "$name: $(wc -w <<<"$options") options in --help and in the manual page"
done
