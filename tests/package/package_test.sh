#!/usr/bin/env bash
# The Debian package as an operator gets it: built by scripts/package.sh, its
# exact contents (contents.txt), lintian, units, user, /etc/ram and man pages,
# and its unpacked programs end to end in the sandbox (KEYD_PROGRAM_PATH).
# package_test.sh SOURCE_DIR OUT_DIR CASES_TEST TRANSLATOR_TEST BRIDGE_TEST
set -euo pipefail
src=$1 out=$2 cases=$3 translator=$4 bridge=$5
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
diff <(printf '/etc/%s\n' keyd-console/keyd-console.conf keyd-translator/{keyd-bridge,keyd-translator,nembad}.conf) \
  <(dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles | sort) || fail "conffiles differ"
lintian --fail-on error "$deb" >"$out/lintian.log" 2>&1 || fail "lintian: $(cat "$out/lintian.log")"

# The units, with ExecStart in the unpacked tree (verify wants the programs);
# verify's warnings reach the console only when told to.
units=()
for u in nembad keyd-translator keyd-bridge keyd-console; do
  sed "s#^ExecStart=/#ExecStart=$root/#" "$root/lib/systemd/system/$u.service" >"$out/$u.service"
  units+=("$out/$u.service")
done
verify=$(SYSTEMD_LOG_TARGET=console systemd-analyze verify --man=no "${units[@]}" 2>&1) &&
  [ -z "$verify" ] || fail "systemd-analyze verify: $verify"
# The users, then /etc/ram: made with the defaults, and never overwritten;
# the console's users file: empty, for root and the console's group.
systemd-sysusers --root="$root" keyd-translator.conf
systemd-tmpfiles --root="$root" --create keyd-translator.conf
for user in keyd keyd-console; do
  grep -q "^$user:x:[0-9]*:[0-9]*:.*:/usr/sbin/nologin\$" "$root/etc/passwd" || fail "no user $user"
done
gid() { awk -F: -v g="$1" '$1 == g {print $3}' "$root/etc/group"; }
[ "$(stat -c %a:%g "$root/etc/ram")" = "775:$(gid keyd)" ] || fail "/etc/ram is not 0775 with the group keyd"
[ "$(stat -c %a:%u:%g:%s "$root/etc/keyd-console/users")" = "640:0:$(gid keyd-console):0" ] ||
  fail "/etc/keyd-console/users is not empty, 0640, root and the group keyd-console"
for f in keyd-translator nembad keyd-bridge; do cmp "$root"/etc/{keyd-translator,ram}/$f.conf; done
echo host=10.0.0.9 >"$root/etc/ram/keyd-translator.conf"
systemd-tmpfiles --root="$root" --create keyd-translator.conf
[ "$(cat "$root/etc/ram/keyd-translator.conf")" = host=10.0.0.9 ] || fail "tmpfiles overwrote a file"

# Man pages: no warning, and every option of each program's --help (a
# translator without a usage text would start instead).
for page in "$root"/usr/share/man/man*/*.gz; do
  warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null) && [ -z "$warnings" ] || fail "$page: $warnings"
done
# The console's launcher runs with the Python package of the unpacked tree.
sed 's#"/usr/share/keyd-console"#"'"$root"'/usr/share/keyd-console"#' "$root/usr/sbin/keyd-console" >"$out/keyd-console"
chmod +x "$out/keyd-console"
for p in "$root"/usr/sbin/{nembad,keyd-translator,keyd-bridge} "$root"/usr/bin/{nlite,keyd-sim} "$out/keyd-console"; do
  name=${p##*/}
  grep -qa "usage: $name" "$p" || [ "$name" = keyd-console ] || continue
  page=$(MANWIDTH=200 man -l "$root"/usr/share/man/man[18]/"$name".[18].gz 2>/dev/null)
  help=$("$p" --help) || fail "$name --help failed"
  for opt in $(grep -oE -- '--[a-z][a-z-]+' <<<"$help" | sort -u); do
    grep -qF -- "$opt" <<<"$page" || fail "the man page of $name lacks $opt"
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
e2e "$bridge" '*BothWays*' 1
echo "package_test: $deb passed"
