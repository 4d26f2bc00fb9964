#!/bin/sh
# parallel.sh PTSPLIT
#
# The recipe of ptsplit(1) for a corpus spread over many machines, taken
# from the man page as written and run with the local host (-S :) for the
# hosts, writes the same files, byte for byte, as ptsplit -o; the README
# gives the same recipe.
set -eu
ptsplit=$1
here=$(cd "$(dirname "$0")" && pwd)
page=$here/../../man/ptsplit.1.scd

if ! command -v parallel >/dev/null; then
  echo "skipped: no GNU parallel (apt-get install parallel)"
  exit 77
fi
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# The literal block of the page that runs parallel, on the local host.
awk '/^```$/ { if (open && block ~ /parallel -S/) printf "%s", block
               open = !open; block = ""; next }
     open { block = block $0 "\n" }' "$page" >"$tmp/page-recipe"
sed 's/ -S host1,host2 / -S : /' "$tmp/page-recipe" >"$tmp/recipe"
if cmp -s "$tmp/page-recipe" "$tmp/recipe"; then
  fail "no recipe with -S host1,host2 in $page"
fi
# The README gives the same recipe, as a block indented by four spaces.
while IFS= read -r line; do
  grep -Fxq "    $line" "$here/../../README.md" || fail "README.md lacks the recipe's line: $line"
done <"$tmp/page-recipe"

# Nested folders, names the shell must quote, UTF-8 and ISO-8859-1 text, an
# empty file; hidden files and a symbolic link, which neither takes.
mkdir -p "$tmp/run/corpus/sub/dir" "$tmp/run/corpus/.git" "$tmp/bin"
cd "$tmp/run"
printf 'O Dr. Silva chegou. Ele disse:\n— Vou embora!\n\nFim.' >corpus/a.txt
printf 'Ela saiu. Ele ficou.\n' >"corpus/sub/dir/b c.txt"
printf 'A \341gua. \311 fria.' >"corpus/sub/d'\303\241gua.txt"
: >corpus/sub/empty.txt
printf 'Oculto.' >corpus/.hidden.txt
printf 'Oculto.' >corpus/.git/x.txt
ln -s a.txt corpus/link.txt
ln -s "$ptsplit" "$tmp/bin/ptsplit"

"$ptsplit" -q -f jsonl -o "$tmp/expected/corpus" corpus
PATH="$tmp/bin:$PATH" PARALLEL_HOME="$tmp/parallel-home" sh "$tmp/recipe" 2>"$tmp/err" ||
  { cat "$tmp/err" >&2; fail "the recipe fails"; }
diff -r "$tmp/expected/corpus" out/corpus >&2 || fail "the recipe's outputs differ from ptsplit -o"
