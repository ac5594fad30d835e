#!/usr/bin/env bash
# The Debian packages as an operator gets them: built by scripts/package.sh,
# each one's exact contents and conffiles (contents.txt), lintian without a
# warning, its dependencies (a site box's packages pull no Python), units,
# users, /etc/ram and man pages; the unpacked programs end to end in the
# sandbox (KEYD_PROGRAM_PATH). booted_test.sh installs them on a booted system.
# package_test.sh SOURCE_DIR OUT_DIR CASES_TEST TRANSLATOR_TEST BRIDGE_TEST
set -euo pipefail
src=$1 out=$2 cases=$3 translator=$4 bridge=$5
fail() { echo "package_test: $*" >&2; exit 1; }
rm -rf "$out" && "$src/scripts/package.sh" "$out"
root=$out/root packages=(keyd-translator keyd-bridge keyd-console keyd-tools)
deb() { echo "$out/$1"_*.deb; }

multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
grep -v '^#' "$(dirname "$0")/contents.txt" | while read -r pkg path how file; do
  case $how in
    if) [ -e "$src/$file" ] || continue ;;
    from) (cd "$src/$file" && find . -type f -not -path '*/__pycache__/*') | sed "s#^\./#$pkg $path#"
      continue ;;
  esac
  echo "$pkg ${path/@MULTIARCH@/$multiarch}"
done | sort >"$out/contents.expected"
for p in "${packages[@]}"; do
  dpkg-deb -c "$(deb "$p")" | awk -v p="$p" '$1 !~ /^d/ {print p, substr($6, 3)}'
done | sort | diff "$out/contents.expected" - || fail "contents differ (<: expected, >: in the packages)"
for p in "${packages[@]}"; do
  diff <(sed -n "s#^$p etc/#/etc/#p" "$out/contents.expected") \
    <(dpkg-deb --ctrl-tarfile "$(deb "$p")" | tar -xO ./conffiles 2>/dev/null | sort) || fail "$p: conffiles differ"
  lintian --fail-on error,warning "$(deb "$p")" >"$out/lintian-$p.log" 2>&1 ||
    fail "lintian $p: $(cat "$out/lintian-$p.log")"
  dpkg-deb -x "$(deb "$p")" "$root"
done

# Dependencies: what each package needs, and what the whole closure of its
# dependencies (apt's lists; ours replaced by their own) must not hold.
depends() { dpkg-deb -f "$(deb "$1")" Depends | tr ',' '\n' | sed 's/(.*//; s/|.*//; s/ //g'; }
closure() {  # shellcheck disable=SC2046
  apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks --no-replaces \
    --no-enhances $(for p in "$1" $(depends "$1" | grep '^keyd-'); do depends "$p"; done | grep -v '^keyd-') |
    grep -v '^ ' | sort -u
}
while read -r p needs never; do
  for n in ${needs//,/ }; do depends "$p" | grep -qx "$n" || fail "$p does not depend on $n"; done
  c=$(closure "$p") || fail "apt-cache depends (apt-get update first?)"
  [ "$(wc -l <<<"$c")" -gt 10 ] || fail "$p: too short a closure: $c"
  bad=$(grep -E "$never" <<<"$c") && fail "$p pulls $bad"
done <<'EOF'
keyd-translator libzmq5,liblog4cpp5v5,systemd ^<?python
keyd-bridge keyd-translator,libmosquitto1 ^<?python
keyd-tools libzmq5 ^<?python
keyd-console python3,python3-aiohttp,python3-paho-mqtt,python3-bcrypt ^<?(keyd-|libzmq|liblog4cpp)
EOF
[ "$(dpkg-deb -f "$(deb keyd-console)" Architecture)" = all ] || fail "keyd-console is not Architecture: all"

# The units, with ExecStart in the unpacked tree (verify wants the programs);
# verify's warnings reach the console only when told to.
units=()
for u in nembad.service keyd-translator.service keyd-bridge.service keyd-console.service etc-ram.mount; do
  sed "s#^ExecStart=/#ExecStart=$root/#" "$root/lib/systemd/system/$u" >"$out/$u"
  units+=("$out/$u")
done
verify=$(SYSTEMD_LOG_TARGET=console systemd-analyze verify --man=no "${units[@]}" 2>&1) &&
  [ -z "$verify" ] || fail "systemd-analyze verify: $verify"
# The users, then /etc/ram: root's, with the defaults, never overwritten; each
# daemon's log file its own; the bridge's secrets and the console's users
# for its group alone.
for p in "${packages[@]::3}"; do
  systemd-sysusers --root="$root" "$p.conf"
  systemd-tmpfiles --root="$root" --create "$p.conf"
done
for user in keyd keyd-bridge keyd-console; do
  grep -q "^$user:x:[0-9]*:[0-9]*:.*:/usr/sbin/nologin\$" "$root/etc/passwd" || fail "no user $user"
done
num() { awk -F: -v n="$2" '$1 == n {print $3}' "$root/etc/$1"; }
diff <(cd "$root" && stat -c '%n %a %u %g' etc/ram etc/ram/* etc/keyd-bridge etc/keyd-console/users) - <<EOF ||
etc/ram 755 0 0
etc/ram/keyd-bridge.conf 644 0 0
etc/ram/keyd-bridge.log 640 $(num passwd keyd-bridge) $(num group keyd-bridge)
etc/ram/keyd-translator-audit.log 640 $(num passwd keyd) $(num group keyd)
etc/ram/keyd-translator.conf 644 0 0
etc/ram/keyd-translator.log 640 $(num passwd keyd) $(num group keyd)
etc/ram/nembad.conf 644 0 0
etc/keyd-bridge 750 0 $(num group keyd-bridge)
etc/keyd-console/users 640 0 $(num group keyd-console)
EOF
  fail "owners and modes in /etc/ram (<), as they should be (>)"
for f in keyd-translator nembad keyd-bridge; do cmp "$root"/etc/{keyd-translator,ram}/$f.conf; done
echo host=10.0.0.9 >"$root/etc/ram/keyd-translator.conf"
systemd-tmpfiles --root="$root" --create keyd-translator.conf
[ "$(cat "$root/etc/ram/keyd-translator.conf")" = host=10.0.0.9 ] || fail "tmpfiles overwrote a file"
[ "$(sed -n 's/^net.core.rmem_max = //p' "$root/usr/lib/sysctl.d/60-keyd-translator.conf")" -ge 1048576 ] ||
  fail "the sysctl drop-in does not raise net.core.rmem_max to 1 MiB"

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

# --check of each program: its table of good and bad settings files goes here.

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
echo "package_test: ${packages[*]} passed"
