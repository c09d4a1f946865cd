#!/usr/bin/env bash
# Mutation pass: applies each mutant of a list (one textual replacement in one
# source file), rebuilds, runs the tests and records whether a test failed
# (killed) or none did (survived); the file is restored after each mutant.
#   tools/mutate.sh LIST [BUILD] > results.tsv
# LIST: lines "id<TAB>file<TAB>old text<TAB>new text", the old text found
# exactly once in the file ("\n" a line break, "\\" a backslash). BUILD
# (default build-mut) is a configured tree. Mutants of kovarkit/ run the
# Python tests, the others rebuild the programs and run CTest without the MPI and Python
# tests (the MPI programs are not rebuilt) and the opt-in sparse scene.
# ALL=1 runs every test of a mutant and lists every failing one, instead of
# stopping at the first failure. tools/mutants.tsv is the list of the last
# pass (doc/mutation.md); an interrupted pass leaves FILE.unmutated to restore.
set -u
list=$1
build=${2:-build-mut}
cd "$(dirname "$0")/.."
if [[ ${ALL:-0} == 1 ]]; then stop=(); else stop=(--stop-on-failure); fi
printf 'id\twhere\tresult\tfailed tests\n'
while IFS=$'\t' read -r id file old new; do
  [[ -z $id || $id == \#* ]] && continue
  cp "$file" "$file.unmutated"
  if ! line=$(/usr/bin/python3 - "$file" "$old" "$new" <<'EOF'
import sys
path, old, new = sys.argv[1], *(a.encode().decode("unicode_escape") for a in sys.argv[2:])
text = open(path).read()
if text.count(old) != 1: sys.exit(f"{path}: old text found {text.count(old)} times")
print(text[:text.index(old)].count("\n") + 1)
open(path, "w").write(text.replace(old, new))
EOF
  ); then
    printf '%s\t%s\tINVALID\tpattern not found once\n' "$id" "$file"
    rm "$file.unmutated"
    continue
  fi
  log=$(mktemp)
  if [[ $file == kovarkit/* ]]; then
    (cd kovarkit && KOVARIND=$PWD/../$build/kovarind /usr/bin/python3 -m pytest -q \
       -p no:cacheprovider ${stop:+-x} kovarkit) >"$log" 2>&1
    rc=$?
    failed=$(grep -oE '^FAILED [^ ]+' "$log" | cut -c8- | paste -sd' ')
  elif cmake --build "$build" -j2 --target kovarind_tests kovarind kovarind-fixed mkscene \
      >"$log" 2>&1; then
    ctest --test-dir "$build" -j2 --timeout 300 "${stop[@]}" -E 'Scale.Sparse|RunMpi|mpiio|kovarkit|NOT_BUILT' \
      >"$log" 2>&1
    rc=$?
    failed=$(sed -n '/tests FAILED:/,$s/^[[:space:]]*[0-9]* - \([^ ]*\).*/\1/p' "$log" | paste -sd' ')
  else
    rc=-1 failed="does not build"
  fi
  cp "$file.unmutated" "$file" && rm "$file.unmutated"  # a new mtime: rebuilt next time
  case $rc in
    0) result=survived ;;
    -1) result=INVALID ;;
    *) result=killed ;;
  esac
  printf '%s\t%s:%s\t%s\t%s\n' "$id" "$file" "$line" "$result" "$failed"
  rm -f "$log"
done <"$list"
