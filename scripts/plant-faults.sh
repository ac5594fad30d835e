#!/usr/bin/env bash
# plant-faults.sh [--list] [--full] [ID...]: shows that the test suite catches
# real faults. Each fault of scripts/faults.txt (or only the IDs given) is
# planted into the product code on its own (after each configuration has
# built and passed the hint tests without faults): the file is changed (one or
# more find/replace parts, each text found exactly once), its
# configuration is built into build/plant-CONFIG, the fault's hint tests run
# first and, when none of them fails, the whole suite of that configuration
# (without the fuzz smoke tests); then the file is restored and checked
# against git. The tests that failed run once more with the fault in place:
# only a test that fails again counts as catching it, and one that passes
# then is named in the table as having failed once (a flaky test, or a fault
# that only sometimes shows). One table at the end, also written as markdown to
# build/plant-faults.md; the build and test output of each fault is kept in
# build/plant-logs/ID.log.
#   --list  prints the faults and plants nothing
#   --full  skips the hints: the whole suite runs for every fault
# Exit status: 0 when every fault was applied, built and caught; 1 otherwise;
# 2 on bad usage or data, uncommitted changes in a file to plant into, a tree
# that does not build without faults or whose hint tests fail without them,
# or a file that could not be restored.
set -uo pipefail
cd "$(dirname "$0")/.."

FAULTS=${PLANT_FAULTS:-scripts/faults.txt}  # another list, for trying out records
LOGS=build/plant-logs
TABLE_MD=build/plant-faults.md

usage() { sed -n '2,/^set /{/^set /d;s/^# \{0,1\}//;p}' "$0"; }

# The fault list and the file edits, in Python: records with multi-line C++
# snippets are easier to handle there than in the shell.
#   records           one line per fault: id, file, config, hint, description,
#                     separated by \x1f (tabs would merge an empty hint away)
#   apply ID          plants the fault (exit 3 when the text is not there exactly once)
#   table ROWS MD     prints the results table and writes it as markdown to MD
faults_py() {
  python3 - "$FAULTS" "$@" <<'PY'
import os, re, sys

path, cmd, args = sys.argv[1], sys.argv[2], sys.argv[3:]
CONFIGS = ("release", "asan", "tsan")


def fail(message):
    print(f"plant-faults: {path}: {message}", file=sys.stderr)
    sys.exit(2)


def parse():
    records, record, body = [], None, None
    with open(path, encoding="utf-8", newline="") as f:
        lines = f.read().split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    for number, line in enumerate(lines, 1):
        if line.startswith("=== "):
            record = {"id": line[4:].strip(), "line": number, "config": "release", "hint": ""}
            records.append(record)
            body = None
        elif line.startswith("--- "):
            which = line[4:].strip()
            edits = record.setdefault("edits", []) if record is not None else None
            if which == "find" and edits is not None and (not edits or "replace" in edits[-1]):
                edits.append({})
            elif which != "replace" or not edits or "replace" in edits[-1]:
                fail(f"line {number}: unexpected '{line}'")
            body = edits[-1][which] = []
        elif body is not None:
            body.append(line)
        elif line.strip() == "" or line.startswith("#"):
            continue
        else:
            match = re.fullmatch(r"(file|config|hint|desc):\s*(.*?)\s*", line)
            if record is None or not match:
                fail(f"line {number}: expected 'file:', 'config:', 'hint:' or 'desc:': {line}")
            record[match.group(1)] = match.group(2)
    seen = set()
    for r in records:
        where = f"fault {r['id']} (line {r['line']})"
        if not r.get("edits") or "replace" not in r["edits"][-1]:
            fail(f"{where}: no '--- find' and '--- replace' parts")
        for edit in r["edits"]:
            for key, body in edit.items():
                while body and body[-1].strip() == "":
                    body.pop()
                edit[key] = "\n".join(body)
            if edit["find"] == "" or edit["find"] == edit["replace"]:
                fail(f"{where}: a find text is empty or equal to its replacement")
        if not re.fullmatch(r"[A-Za-z0-9][A-Za-z0-9_.-]*", r["id"]):
            fail(f"{where}: an id is letters, digits, '.', '_' and '-'")
        if r["id"] in seen:
            fail(f"{where}: the id is used twice")
        seen.add(r["id"])
        if not r.get("desc"):
            fail(f"{where}: no 'desc:'")
        if not re.match(r"(lib|src|tools|console)/", r.get("file", "")) or not os.path.isfile(r["file"]):
            fail(f"{where}: 'file:' must name a file under lib/, src/, tools/ or console/")
        if r["config"] not in CONFIGS:
            fail(f"{where}: 'config:' is one of {', '.join(CONFIGS)}")
        if re.search(r"[\t\x1f]", r["hint"] + r["desc"]):
            fail(f"{where}: no tabs in 'hint:' or 'desc:'")
    return records


if cmd == "records":
    for r in parse():
        print("\x1f".join([r["id"], r["file"], r["config"], r["hint"], r["desc"]]))

elif cmd == "apply":
    record = next(r for r in parse() if r["id"] == args[0])
    with open(record["file"], encoding="utf-8", errors="surrogateescape", newline="") as f:
        text = f.read()
    for number, edit in enumerate(record["edits"], 1):
        count = text.count(edit["find"])
        if count != 1:
            print(f"the text to find (part {number}) occurs {count} times")
            sys.exit(3)
        text = text.replace(edit["find"], edit["replace"], 1)
    with open(record["file"], "w", encoding="utf-8", errors="surrogateescape", newline="") as f:
        f.write(text)

elif cmd == "table":
    rows_path, md_path = args
    head = ["Fault", "Config", "File", "Description", "Caught", "By", "Secs", "Failing tests"]
    rows = []
    with open(rows_path, encoding="utf-8") as f:
        for line in f:
            rows.append(line.rstrip("\n").split("\t"))
    # Plain text: every column padded but the last.
    widths = [max(len(r[i]) for r in rows + [head]) for i in range(len(head))]
    for r in [head] + rows:
        cells = [r[i].ljust(widths[i]) for i in range(len(head) - 1)] + [r[-1]]
        print("  ".join(cells).rstrip())
    with open(md_path, "w", encoding="utf-8") as f:
        f.write("| " + " | ".join(head) + " |\n")
        f.write("|" + "|".join("---" for _ in head) + "|\n")
        for r in rows:
            cells = [c.replace("|", "\\|") for c in r]
            cells[0] = f"`{cells[0]}`"
            cells[2] = f"`{cells[2]}`"
            f.write("| " + " | ".join(cells) + " |\n")

else:
    fail(f"unknown command {cmd}")
PY
}

# ---------------------------------------------------------------- options

list=0
full=0
wanted=()
for arg in "$@"; do
  case "$arg" in
    --list) list=1 ;;
    --full) full=1 ;;
    -h | --help) usage; exit 0 ;;
    -*) echo "plant-faults: unknown option $arg" >&2; usage >&2; exit 2 ;;
    *) wanted+=("$arg") ;;
  esac
done

records=$(faults_py records) || exit 2
ids=() files=() configs=() hints=() descs=()
while IFS=$'\x1f' read -r id file config hint desc; do
  if [ "${#wanted[@]}" -gt 0 ]; then
    keep=0
    for w in "${wanted[@]}"; do [ "$w" = "$id" ] && keep=1; done
    [ "$keep" = 1 ] || continue
  fi
  ids+=("$id") files+=("$file") configs+=("$config") hints+=("$hint") descs+=("$desc")
done <<<"$records"
for w in "${wanted[@]}"; do
  if ! cut -d$'\x1f' -f1 <<<"$records" | grep -qxF -- "$w"; then
    echo "plant-faults: no fault $w in $FAULTS (--list shows them)" >&2
    exit 2
  fi
done
if [ "${#ids[@]}" -eq 0 ]; then
  echo "plant-faults: no faults in $FAULTS" >&2
  exit 2
fi

if [ "$list" = 1 ]; then
  for i in "${!ids[@]}"; do
    printf '%-28s %-8s %-30s %s\n' "${ids[$i]}" "${configs[$i]}" "${files[$i]}" "${descs[$i]}"
  done
  exit 0
fi

# ---------------------------------------------------------------- running

# Any sanitizer report fails the test that caused it (as in scripts/test.sh).
export ASAN_OPTIONS="abort_on_error=0:detect_leaks=1:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"

child=""    # the build or ctest running now, leader of its own process group
planted=""  # the file that holds a fault now
backup=$(mktemp)
rows=$(mktemp)
ctest_out=$(mktemp)

# Puts the planted file back as it was and checks it against git.
restore() {
  [ -n "$planted" ] || return 0
  cat "$backup" >"$planted"  # a new mtime: the next build compiles it again
  if ! git diff --quiet HEAD -- "$planted"; then
    echo "plant-faults: $planted still differs from git after restoring it" >&2
    planted=""
    exit 2
  fi
  planted=""
}

cleanup() {
  if [ -n "$child" ]; then
    kill -TERM -- "-$child" 2>/dev/null
    wait "$child" 2>/dev/null
    child=""
  fi
  restore
  rm -f "$backup" "$rows" "$ctest_out"
}
trap cleanup EXIT
trap 'echo "plant-faults: interrupted" >&2; exit 130' INT TERM HUP

# Runs a command in its own process group (so an interruption can end all of
# it), appending its output to the log given first.
run_logged() {
  local log=$1
  shift
  setsid "$@" >>"$log" 2>&1 </dev/null &
  child=$!
  wait "$child"
  local rc=$?
  child=""
  return "$rc"
}

# Runs ctest in build folder $1 with the further options given; sets
# failed_tests (one name a line, with the reason when it is not a plain
# failure) and ctest_status.
failed_tests=""
ctest_status=0
run_ctest() {
  local dir=$1 log=$2
  shift 2
  : >"$ctest_out"
  echo "### ctest $*" >>"$log"
  run_logged "$ctest_out" ctest --test-dir "$dir" -j2 --timeout 300 -LE fuzz --no-tests=error \
    --output-on-failure "$@"
  ctest_status=$?
  cat "$ctest_out" >>"$log"
  failed_tests=$(awk '/^The following tests FAILED:/ { on = 1; next }
                      on && /^[[:space:]]+[0-9]+ - / { sub(/^[[:space:]]+[0-9]+ - /, "");
                                                       sub(/ \(Failed\)$/, ""); print }' \
                   "$ctest_out")
}

# Runs ctest with the options given, then once more only the tests that
# failed, the fault still in place: a test failing both times caught it (set
# in caught_tests), one that passed the second time failed for some other
# reason (appended to flaky). True when some test caught the fault.
caught_tests=""
flaky=""
try_catch() {
  local dir=$1 log=$2 first line regex again
  shift 2
  caught_tests=""
  run_ctest "$dir" "$log" "$@"
  [ -n "$failed_tests" ] || return 1
  first=$failed_tests
  regex="^($(sed 's/ (.*)$//; s/[].[*^$+?(){}|\\]/\\&/g' <<<"$first" | paste -sd'|'))\$"
  run_ctest "$dir" "$log" -R "$regex"
  again=$(sed 's/ (.*)$//' <<<"$failed_tests")
  while IFS= read -r line; do
    if grep -qxF -- "${line% (*}" <<<"$again"; then
      caught_tests+="$line"$'\n'
    else
      flaky+="${line% (*}"$'\n'
    fi
  done <<<"$first"
  [ -n "$caught_tests" ]
}

lines_joined() { sed '/^$/d' <<<"$1" | paste -sd, | sed 's/,/, /g'; }

for f in $(printf '%s\n' "${files[@]}" | sort -u); do
  if ! git ls-files --error-unmatch -- "$f" >/dev/null 2>&1 || ! git diff --quiet HEAD -- "$f"; then
    echo "plant-faults: $f is not tracked or has uncommitted changes; commit or restore it first" >&2
    exit 2
  fi
done

mkdir -p "$LOGS"
started=$SECONDS

# Every configuration first builds as it is: a fault must be the only reason
# for what follows.
for config in $(printf '%s\n' "${configs[@]}" | sort -u); do
  echo "=== build/plant-$config: building without faults"
  : >"$LOGS/build-$config.log"
  if ! run_logged "$LOGS/build-$config.log" scripts/build.sh --dir "build/plant-$config" "$config"; then
    echo "plant-faults: build/plant-$config does not build without faults; see $LOGS/build-$config.log" >&2
    exit 2
  fi
  # The control: the hint tests pass without faults, so a failure with a
  # fault is the fault's doing.
  control=""
  for i in "${!ids[@]}"; do
    [ "${configs[$i]}" = "$config" ] && [ -n "${hints[$i]}" ] && control+="${control:+|}(${hints[$i]})"
  done
  if [ -n "$control" ]; then
    echo "=== build/plant-$config: the hint tests without faults"
    # A CTest expression holds only a few groups: the hints are matched here
    # and the tests they name run by number.
    numbers=$(ctest --test-dir "build/plant-$config" -N | sed -n 's/^ *Test *#\([0-9]*\): \(.*\)$/\2\t\1/p' |
                RE=$control awk -F'\t' '$1 ~ ENVIRON["RE"] { print $2 }' | paste -sd,)
    run_ctest "build/plant-$config" "$LOGS/build-$config.log" -I "0,0,0,${numbers:-0}"
    if [ "$ctest_status" -ne 0 ]; then
      echo "plant-faults: tests fail without faults in build/plant-$config:" $failed_tests >&2
      exit 2
    fi
  fi
done

for i in "${!ids[@]}"; do
  id=${ids[$i]} file=${files[$i]} config=${configs[$i]} hint=${hints[$i]} desc=${descs[$i]}
  dir=build/plant-$config
  log=$LOGS/$id.log
  : >"$log"
  fault_start=$SECONDS
  result="" by="-" detail="" note="" flaky=""
  echo "=== $id ($config, $file): $desc"

  cp -p "$file" "$backup"
  planted=$file
  if ! why=$(faults_py apply "$id" 2>&1); then
    result="NOT APPLIED" detail=$why
  else
    git diff -- "$file" >>"$log"
    echo "### build" >>"$log"
    if ! run_logged "$log" scripts/build.sh --dir "$dir" "$config"; then
      result="BUILD FAILED"
      detail=$(grep -m1 -E 'error:' "$log" | sed 's/^[^ ]*\/\([^/]*:[0-9]*:[0-9]*:\)/\1/')
    else
      if [ "$full" = 0 ] && [ -n "$hint" ]; then
        if try_catch "$dir" "$log" -R "$hint"; then
          result="yes" by="hint"
        elif grep -q "No tests were found" "$ctest_out"; then
          note="[hint matches no test] "
        fi
      fi
      if [ -z "$result" ]; then
        if try_catch "$dir" "$log"; then
          result="yes" by="suite"
        elif [ "$ctest_status" != 0 ]; then
          result="ERROR" detail="ctest ended with status $ctest_status and no failed test"
        else
          result="NO" detail="every test passed"
        fi
      fi
      [ "$result" = yes ] && detail=$(lines_joined "$caught_tests")
      [ -n "$flaky" ] && detail+="; failed once, passed again: $(lines_joined "$flaky")"
      detail=$note$detail
    fi
  fi
  restore
  secs=$((SECONDS - fault_start))
  echo "    -> caught: $result${detail:+ ($detail)} [${secs}s]"
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$id" "$config" "$file" "$desc" "$result" "$by" \
    "$secs" "${detail//$'\t'/ }" >>"$rows"
done

total=$((SECONDS - started))
echo
faults_py table "$rows" "$TABLE_MD"
caught=$(awk -F'\t' '$5 == "yes"' "$rows" | wc -l)
count=$(wc -l <"$rows")
summary="$caught of $count faults caught; total time $((total / 60))m $((total % 60))s"
printf '\n%s\n' "$summary" >>"$TABLE_MD"
echo
echo "$summary (table: $TABLE_MD, logs: $LOGS/)"
[ "$caught" -eq "$count" ]
