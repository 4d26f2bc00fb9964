#!/bin/sh
# install.sh: what a build tree installs, used as its users use it: the
# installed programs on a sample, a program built against the installed
# library through the CMake package and through pkg-config, the man pages,
# and the two Debian packages cpack makes (their files, and lintian).
#
# From tests/install/CMakeLists.txt, in the environment: BUILD, the build
# tree; CMAKE, CPACK, CXX, the tools; BINDIR, LIBDIR, MANDIR, the install
# folders inside the prefix; CONFIG, the build type in small letters;
# MAN_PAGES and STATIC, ON or OFF.
set -eu
# shellcheck disable=SC2153  # the environment names them
build=$BUILD cmake=$CMAKE cpack=$CPACK cxx=$CXX
# shellcheck disable=SC2153
bindir=$BINDIR libdir=$LIBDIR mandir=$MANDIR config=$CONFIG
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix

fail() {
  echo "FAIL: $*" >&2
  exit 1
}
# same EXPECTED ACTUAL WHAT: the two files hold the same bytes.
same() {
  cmp -s "$1" "$2" || { diff "$1" "$2" >&2 || :; fail "$3"; }
}

"$cmake" --install "$build" --prefix "$prefix" >/dev/null
ptsplit=no
if [ -x "$prefix/$bindir/ptsplit" ]; then ptsplit=yes; fi

# --- the installed programs
printf 'O Dr. Silva chegou. Ele disse:\n- Vou embora!\n\nFim.' >"$tmp/sample"
printf '<p><s>O Dr. Silva chegou. </s><s>Ele disse:\n</s><s>- Vou embora!\n\n</s></p><p><s>Fim.</s></p>' \
  >"$tmp/expected"
"$prefix/$bindir/ptseg" <"$tmp/sample" >"$tmp/out" 2>/dev/null
same "$tmp/expected" "$tmp/out" "installed ptseg"
if [ $ptsplit = yes ]; then
  printf 'O Dr. Silva chegou.\nEle disse:\n- Vou embora!\n\nFim.\n' >"$tmp/expected"
  "$prefix/$bindir/ptsplit" -f lines "$tmp/sample" >"$tmp/out"
  same "$tmp/expected" "$tmp/out" "installed ptsplit"
else
  echo "skipped: no ptsplit in this build"
fi

# --- a program built against the installed library, both ways
printf '%s\n' '[O Dr. Silva chegou. ]' '[Ele disse:' ']' \
  '[— Vou embora! — gritou ela. ]' '[«Fim.» ]' '[Mais.]' \
  '<p><s>O Dr. Silva chegou. </s><s>Ele disse:' \
  '</s><s>— Vou embora! — gritou ela. </s><s>«Fim.» </s><s>Mais.</s></p>' \
  '1.0.0' >"$tmp/expected"
"$cmake" -S "$here/consumer" -B "$tmp/consumer" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_CXX_COMPILER="$cxx" >"$tmp/log" 2>&1 || { cat "$tmp/log" >&2; fail "configure with find_package"; }
"$cmake" --build "$tmp/consumer" >"$tmp/log" 2>&1 || { cat "$tmp/log" >&2; fail "build with find_package"; }
"$tmp/consumer/consumer" >"$tmp/out"
same "$tmp/expected" "$tmp/out" "program built with find_package(ptseg)"

flags=$(PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig" pkg-config --cflags --libs ptseg)
# shellcheck disable=SC2086  # the flags are words
"$cxx" -std=c++17 -o "$tmp/pc-consumer" "$here/consumer/main.cpp" $flags
# A shared library is found where it is installed, as for any library
# outside the system's folders.
LD_LIBRARY_PATH="$prefix/$libdir" "$tmp/pc-consumer" >"$tmp/out"
same "$tmp/expected" "$tmp/out" "program built with pkg-config"

# --- the man pages render without a word from groff
if [ "$MAN_PAGES" != ON ]; then
  echo "skipped: no scdoc, so no man pages and no Debian packages"
  exit 0
fi
pages="ptseg"
if [ $ptsplit = yes ]; then pages="ptseg ptsplit"; fi
for page in $pages; do
  MANWIDTH=80 man -l "$prefix/$mandir/man1/$page.1.gz" >"$tmp/out" 2>"$tmp/err" ||
    fail "man -l $page.1.gz"
  [ -s "$tmp/out" ] || fail "$page(1) renders empty"
  if [ -s "$tmp/err" ]; then cat "$tmp/err" >&2; fail "$page(1) renders with warnings"; fi
done

# --- the Debian packages: every file with its owner and mode, and lintian
if [ "$STATIC" != ON ]; then
  echo "skipped: the Debian packages are made from the static library"
  exit 0
fi
if ! command -v dpkg-shlibdeps >/dev/null; then
  echo "skipped: no dpkg-shlibdeps (apt-get install dpkg-dev): no Debian packages"
  exit 0
fi
"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/deb" >"$tmp/log" 2>&1 ||
  { cat "$tmp/log" >&2; fail "cpack -G DEB"; }
listing() {
  dpkg-deb -c "$tmp/deb/$1"_*.deb |
    awk '$1 !~ /^d/ { print $1, $2, $6 }'
}
{
  echo "-rwxr-xr-x root/root ./usr/$bindir/ptseg"
  if [ $ptsplit = yes ]; then echo "-rwxr-xr-x root/root ./usr/$bindir/ptsplit"; fi
  for doc in LICENSE README.md changelog.Debian.gz copyright; do
    echo "-rw-r--r-- root/root ./usr/share/doc/ptseg/$doc"
  done
  for page in $pages; do
    echo "-rw-r--r-- root/root ./usr/$mandir/man1/$page.1.gz"
  done
} >"$tmp/expected"
listing ptseg >"$tmp/out"
same "$tmp/expected" "$tmp/out" "files of the ptseg package"
{
  for header in encoding.h input.h markup.h ptseg.h sentence.h text.h version.h; do
    echo "./usr/include/ptseg/$header"
  done
  for file in ptsegConfig.cmake ptsegConfigVersion.cmake "ptsegTargets-$config.cmake" \
              ptsegTargets.cmake; do
    echo "./usr/$libdir/cmake/ptseg/$file"
  done
  echo "./usr/$libdir/libptseg.a"
  echo "./usr/$libdir/pkgconfig/ptseg.pc"
  echo "./usr/share/doc/libptseg-dev/changelog.Debian.gz"
  echo "./usr/share/doc/libptseg-dev/copyright"
} | sed 's/^/-rw-r--r-- root\/root /' >"$tmp/expected"
listing libptseg-dev >"$tmp/out"
same "$tmp/expected" "$tmp/out" "files of the libptseg-dev package"

if command -v lintian >/dev/null; then
  status=0
  # lintian leaves work files in TMPDIR
  TMPDIR=$tmp lintian --fail-on error "$tmp"/deb/*.deb >"$tmp/lintian" 2>&1 || status=$?
  grep -v '^running with root privileges' "$tmp/lintian" || :
  [ $status -eq 0 ] || fail "lintian reports errors"
else
  echo "skipped: no lintian"
fi
