#!/usr/bin/env bash
# The Debian package as an operator gets it: built by scripts/package.sh, its
# exact contents (contents.txt), lintian, units, user, /etc/ram and man pages,
# and its unpacked programs end to end in the sandbox (KEYD_PROGRAM_PATH).
# package_test.sh SOURCE_DIR OUT_DIR CASES_TEST TRANSLATOR_TEST
set -euo pipefail
src=$1 out=$2 cases=$3 translator=$4
fail() { echo "package_test: $*" >&2; exit 1; }
rm -rf "$out" && "$src/scripts/package.sh" "$out"
deb=$(echo "$out"/keyd-translator_*.deb) root=$out/root
dpkg-deb -x "$deb" "$root"

multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
grep -v '^#' "$(dirname "$0")/contents.txt" | while read -r path cond; do
  if [ -z "$cond" ] || [ -e "$src/${cond#if }" ]; then echo "${path/@MULTIARCH@/$multiarch}"; fi
done | sort >"$out/contents.expected"
diff "$out/contents.expected" <(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print substr($6, 3)}' | sort) ||
  fail "contents differ (<: expected, >: in the package)"
diff <(printf '/etc/keyd-translator/%s\n' keyd-translator.conf nembad.conf) \
  <(dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles) || fail "conffiles differ"
lintian --fail-on error "$deb" >"$out/lintian.log" 2>&1 || fail "lintian: $(cat "$out/lintian.log")"

# The units, with ExecStart in the unpacked tree (verify wants the programs);
# verify's warnings reach the console only when told to.
for u in nembad keyd-translator; do
  sed "s#^ExecStart=/#ExecStart=$root/#" "$root/lib/systemd/system/$u.service" >"$out/$u.service"
done
verify=$(SYSTEMD_LOG_TARGET=console systemd-analyze verify --man=no "$out"/{nembad,keyd-translator}.service 2>&1) &&
  [ -z "$verify" ] || fail "systemd-analyze verify: $verify"
# The user, then /etc/ram: made with the defaults, and never overwritten.
systemd-sysusers --root="$root" keyd-translator.conf
systemd-tmpfiles --root="$root" --create keyd-translator.conf
grep -q '^keyd:x:[0-9]*:[0-9]*:.*:/usr/sbin/nologin$' "$root/etc/passwd" || fail "no user keyd"
[ "$(stat -c %a:%g "$root/etc/ram")" = "775:$(awk -F: '$1 == "keyd" {print $3}' "$root/etc/group")" ] ||
  fail "/etc/ram is not 0775 with the group keyd"
cmp "$root"/etc/{keyd-translator,ram}/keyd-translator.conf && cmp "$root"/etc/{keyd-translator,ram}/nembad.conf
echo host=10.0.0.9 >"$root/etc/ram/keyd-translator.conf"
systemd-tmpfiles --root="$root" --create keyd-translator.conf
[ "$(cat "$root/etc/ram/keyd-translator.conf")" = host=10.0.0.9 ] || fail "tmpfiles overwrote a file"

# Man pages: no warning, and every option of each program's --help (a
# translator without a usage text would start instead).
for page in "$root"/usr/share/man/man*/*.gz; do
  warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null) && [ -z "$warnings" ] || fail "$page: $warnings"
done
for p in sbin/nembad bin/nlite bin/keyd-sim sbin/keyd-translator; do
  grep -qa "usage: ${p#*/}" "$root/usr/$p" || continue
  page=$(MANWIDTH=200 man -l "$root"/usr/share/man/man[18]/"${p#*/}".[18].gz 2>/dev/null)
  for opt in $("$root/usr/$p" --help | grep -oE -- '--[a-z][a-z-]+' | sort -u); do
    grep -qF -- "$opt" <<<"$page" || fail "the man page of ${p#*/} lacks $opt"
  done
done

# The unpacked programs end to end: all COUNT cases of the filter pass.
e2e() {  # PROGRAM FILTER COUNT (77: the machine cannot make the sandbox)
  local rc=0 log
  log=$(KEYD_PROGRAM_PATH=$root/usr/sbin:$root/usr/bin "$1" --gtest_filter="$2" 2>&1) || rc=$?
  [ "$rc" -ne 77 ] || exit 77
  [ "$rc" -eq 0 ] && grep -qx "\[  PASSED  \] $3 tests\?\." <<<"$log" || fail "$1 $2: $log"
}
e2e "$cases" '*commands*' 1
e2e "$translator" '*OperatorsTools*:*ServiceManager*:*TellsTheVersion*' 3
echo "package_test: $deb passed"
