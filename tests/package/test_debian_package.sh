#!/usr/bin/env bash
# test_debian_package.sh BUILD_DIR: builds the Debian package from the
# test build tree with `cpack -G DEB`, checks what it holds and where,
# unpacks it into a temporary root with `dpkg-deb -x` and runs the unpacked
# programs there (api_router and api_search as CGI processes on a temporary
# storage directory: a write and a search; `lumidex --version` and a search
# with the tool), checks that they load the unpacked engine library, checks
# the lighttpd snippet with `lighttpd -tt` under Debian's module list, and
# runs lintian, failing on any error (E:) it reports.
#
# Exit 77 (CTest's skip) only when a tool it needs is missing and cannot be
# installed; scripts/setup installs them all.
set -uo pipefail

build=$(cd "$1" && pwd)
fails=0
fail() { echo "FAIL: $*"; fails=$((fails + 1)); }
check() { # check WHAT COMMAND...: fails with WHAT unless COMMAND succeeds
  local what=$1; shift
  "$@" || fail "$what"
}

for tool in cpack dpkg-deb dpkg-shlibdeps lintian lighttpd; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null 2>&1; then
      case $tool in
        dpkg-shlibdeps) pkg=dpkg-dev ;; cpack) pkg=cmake ;; *) pkg=$tool ;;
      esac
      DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
        --no-install-recommends "$pkg" >/dev/null 2>&1
    fi
    command -v "$tool" >/dev/null 2>&1 || { echo "SKIP: no $tool"; exit 77; }
  fi
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 0700 "$work"

# ---- Build ----------------------------------------------------------------
if ! cpack -G DEB -B "$work/out" --config "$build/CPackConfig.cmake" \
     >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log"
  echo "FAIL: cpack -G DEB"
  exit 1
fi
deb=$(ls "$work"/out/lumidex_*_*.deb 2>/dev/null | head -1)
[ -n "$deb" ] || { ls -R "$work/out"; echo "FAIL: no lumidex_*.deb"; exit 1; }
echo "built $(basename "$deb")"

# ---- What goes where ----------------------------------------------------
root=$work/root
dpkg-deb -x "$deb" "$root" || { echo "FAIL: dpkg-deb -x"; exit 1; }
dpkg-deb -e "$deb" "$work/control" || { echo "FAIL: dpkg-deb -e"; exit 1; }

for path in usr/lib/cgi-bin/lumidex/api_router usr/lib/cgi-bin/lumidex/api_search \
            usr/bin/lumidex; do
  [ -f "$root/$path" ] && [ -x "$root/$path" ] || fail "no program $path"
done
for path in etc/lighttpd/conf-available/50-lumidex.conf \
            usr/share/doc/lumidex/README.md usr/share/doc/lumidex/SECURITY.md \
            usr/share/doc/lumidex/copyright usr/share/doc/lumidex/changelog.gz; do
  [ -f "$root/$path" ] || fail "no file $path"
done
# The engine library is private: under /usr/lib/lumidex, nowhere public,
# and without headers or a link-time name.
libs=$(cd "$root" && find . -name 'libnolvaris-lumidex-core.so*' | sort | tr '\n' ' ')
[ "$libs" = "./usr/lib/lumidex/lib/libnolvaris-lumidex-core.so.1 ./usr/lib/lumidex/lib/libnolvaris-lumidex-core.so.1.0.0 " ] ||
  fail "engine library where it should not be: $libs"
headers=$(cd "$root" && find . -name '*.h')
[ -z "$headers" ] || fail "headers in the package: $headers"
[ ! -e "$root/var/lib/lumidex" ] || fail "the package ships /var/lib/lumidex itself"

grep -qx '/etc/lighttpd/conf-available/50-lumidex.conf' "$work/control/conffiles" ||
  fail "the lighttpd snippet is no conffile"
grep -q 'install -d -o www-data -g www-data -m 0700 /var/lib/lumidex' "$work/control/postinst" ||
  fail "postinst does not make /var/lib/lumidex www-data 0700"
grep -q '\[ ! -e /var/lib/lumidex \]' "$work/control/postinst" ||
  fail "postinst does not leave an existing /var/lib/lumidex alone"
grep -q 'purge' "$work/control/postrm" || fail "postrm does nothing on purge"

# The maintainer scripts as dpkg runs them, on a stand-in root: configure
# makes the directory once, a second configure keeps what is in it, purge
# removes it. (Paths are rewritten into the temporary root.)
fake=$work/fake
mkdir -p "$fake/var/lib"
for script in postinst postrm; do
  sed "s|/var/lib/lumidex|$fake/var/lib/lumidex|g" "$work/control/$script" >"$work/$script"
  chmod 0755 "$work/$script"
done
check "postinst configure failed" "$work/postinst" configure
check "storage directory not www-data:www-data 0700: $(stat -c '%U:%G %a' "$fake/var/lib/lumidex" 2>&1)" \
  test "$(stat -c '%U:%G %a' "$fake/var/lib/lumidex" 2>/dev/null)" = "www-data:www-data 700"
touch "$fake/var/lib/lumidex/kept"
chmod 0750 "$fake/var/lib/lumidex"
check "second postinst configure failed" "$work/postinst" configure
check "postinst changed an existing storage directory" \
  test -e "$fake/var/lib/lumidex/kept" -a "$(stat -c '%a' "$fake/var/lib/lumidex")" = 750
check "postrm remove failed" "$work/postrm" remove
check "postrm remove deleted the indexes" test -e "$fake/var/lib/lumidex/kept"
check "postrm purge failed" "$work/postrm" purge
check "postrm purge left the storage directory" test ! -e "$fake/var/lib/lumidex"

# ---- The unpacked programs run from the temporary root -----------------
storage=$work/storage
mkdir -m 0700 "$storage"
cgi() { # cgi PROGRAM METHOD PATH QUERY BODY
  env -i REQUEST_METHOD="$2" PATH_INFO="$3" QUERY_STRING="$4" \
    CONTENT_LENGTH="${#5}" LUMIDEX_STORAGE_DIR="$storage" \
    "$root/usr/lib/cgi-bin/lumidex/$1" <<<"$5"
}
body='[{"id":"1","title":"packaged lamp"},{"id":"2","title":"other thing"}]'
out=$(cgi api_router POST /indexes/shop/documents "" "$body")
case $out in
  "Status: 200"*'"added":2'*) ;;
  *) fail "write through the unpacked api_router: $out" ;;
esac
out=$(cgi api_search GET /indexes/shop/search "q=lamp" "")
case $out in
  "Status: 200"*'"title":"packaged lamp"'*'"total_hits":1,'*) ;;
  *) fail "search through the unpacked api_search: $out" ;;
esac
out=$(env -i "$root/usr/bin/lumidex" --version 2>&1)
[ "$out" = "lumidex 1.0.0" ] || fail "lumidex --version: $out"
out=$(env -i "$root/usr/bin/lumidex" --storage-dir "$storage" search shop thing 2>&1)
case $out in
  *'"title":"other thing"'*) ;;
  *) fail "lumidex search: $out" ;;
esac
# Each program loads the engine library it was unpacked with.
for program in usr/bin/lumidex usr/lib/cgi-bin/lumidex/api_router; do
  loaded=$(env -i LD_DEBUG=libs "$root/$program" --version 2>&1 </dev/null |
           grep -o 'calling init: [^ ]*libnolvaris-lumidex-core[^ ]*' | head -1)
  case $loaded in
    "calling init: $root/usr/lib/lumidex/"*) ;;
    *) fail "$program loads the engine from elsewhere: ${loaded:-nothing}" ;;
  esac
done

# ---- The lighttpd snippet under Debian's main configuration ------------
cat >"$work/lighttpd.conf" <<CONF
server.modules = ("mod_indexfile", "mod_access", "mod_alias", "mod_redirect")
server.document-root = "$work"
server.port = 80
include "$root/etc/lighttpd/conf-available/50-lumidex.conf"
CONF
out=$(lighttpd -tt -f "$work/lighttpd.conf" 2>&1) || fail "lighttpd -tt: $out"

# ---- lintian ----------------------------------------------------------
lintian --fail-on error --tag-display-limit 0 "$deb" >"$work/lintian.log" 2>&1
lintian_rc=$?
cat "$work/lintian.log"
if [ "$lintian_rc" -gt 1 ]; then
  fail "lintian could not check the package (exit $lintian_rc)"
elif [ "$lintian_rc" -eq 1 ] || grep -q '^E: ' "$work/lintian.log"; then
  fail "lintian reports errors"
fi

if [ "$fails" -ne 0 ]; then
  echo "$fails checks failed"
  exit 1
fi
echo "the Debian package holds and runs what it should"
