#!/usr/bin/env bash
# The Debian package passes lintian without an error or a warning; unpacked into a scratch root, it
# holds the programs, their manual pages, the desktop entry, the icon, the copyright file and the
# changelog, declares its run-time dependencies, and its wexa-scraper crawls its wexa-sample-site
# windowless to the expected finish.
#
# usage: install_and_crawl.sh BUILD_DIR
set -euo pipefail
build=$(realpath "$1")
work=$(mktemp -d)
site_pid=
cleanup() {
  [ -n "$site_pid" ] && kill "$site_pid" 2>/dev/null && wait "$site_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$work/package" >/dev/null) || fail "cpack could not build the package"
deb=$(ls "$work"/package/wexa-scraper_*.deb)

if command -v lintian >/dev/null; then
  # The tags are on stdout; stderr has remarks about the run itself (as root: "running with root
  # privileges is not recommended!").
  lintian_out=$(lintian "$deb" 2>"$work/lintian.err" || true)
  if grep -qE '^[EW]: ' <<<"$lintian_out"; then
    fail "lintian: $lintian_out"
  fi
else
  fail "lintian is not installed (scripts/install-deps installs it)"
fi

depends=$(dpkg-deb -f "$deb" Depends)
for needed in libqt6webenginewidgets6 libqt6webenginecore6-bin libxml2 qt6-qpa-plugins; do
  [[ "$depends" == *"$needed"* ]] || fail "Depends lacks $needed: $depends"
done

root=$work/root
dpkg -x "$deb" "$root"
for file in usr/bin/wexa-scraper usr/bin/wexa-sample-site usr/bin/wexa-export usr/share/applications/wexa-scraper.desktop \
            usr/share/icons/hicolor/scalable/apps/wexa-scraper.svg usr/share/doc/wexa-scraper/copyright \
            usr/share/doc/wexa-scraper/changelog.gz usr/share/man/man1/wexa-scraper.1.gz \
            usr/share/man/man1/wexa-export.1.gz usr/share/man/man1/wexa-sample-site.1.gz; do
  [ -e "$root/$file" ] || fail "the package lacks /$file"
done
grep -qx 'Exec=wexa-scraper' "$root/usr/share/applications/wexa-scraper.desktop" || fail "desktop entry Exec"
[ "$("$root/usr/bin/wexa-scraper" --version)" = "Wexa Category Scraper 1.0.0.6" ] || fail "wexa-scraper --version"

site=$root/usr/bin/wexa-sample-site
expected=$("$site" --categories 40 --dump-expected 0 | awk -F'\t' '$1 == "T" { print $2 " " $3 }')
read -r categories symbolic <<<"$expected"
"$site" --categories 40 --port 0 --print-port >"$work/port" 2>/dev/null &
site_pid=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
[ -s "$work/port" ] || fail "the packaged sample site did not start"

mkdir "$work/run"
cd "$work/run"
status=0
HOME=$work WEXA_ROOT_URL="http://127.0.0.1:$(head -n1 "$work/port")" WEXA_SEARCH_HOST=search.wexa.org \
  QTWEBENGINE_DISABLE_SANDBOX=1 timeout 120 "$root/usr/bin/wexa-scraper" --headless --min-content 0 \
  >"$work/out" 2>"$work/err" || status=$?
[ "$status" = 0 ] || { cat "$work/err" >&2; fail "wexa-scraper exited with $status"; }
[ "$(head -n1 "$work/out")" = "Wexa Category Scraper - 1.0.0.6" ] || fail "caption: $(head -n1 "$work/out")"
finished="*** FINISHED *** Categories: $categories | Symbolic categories: $symbolic | Queue: 0"
[ "$(tail -n1 "$work/out")" = "$finished" ] || fail "last line '$(tail -n1 "$work/out")', expected '$finished'"
[ -s tree.xml ] && [ -e queue.lst ] || fail "the finished crawl saved no state"
"$root/usr/bin/wexa-export" -o export.csv tree.xml || fail "the packaged wexa-export could not read the saved tree"
rows=$(($(wc -l <export.csv) - 1))
[ "$rows" -gt "$categories" ] || fail "export has $rows rows for $categories categories"
echo "package installs and crawls: $finished"
