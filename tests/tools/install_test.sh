#!/bin/sh
# korvo as a user installs it, run from a folder outside the source and build trees.
#
#   install_test.sh prefix CMAKE BUILD SOURCE VERSION PYTHON
#     cmake --install into a fresh prefix; every installed command answers
#     --version, korvo-suite and korvo-site run an example, and korvo-suite
#     finds its package under its own prefix (not the build tree).
#   install_test.sh pip CMAKE BUILD SOURCE VERSION PYTHON
#     pip install ./python into a fresh venv; its korvo-suite and `import korvo`.
#
# Exit 77 (skipped) only when PYTHON has no venv module or the venv no pip.
set -eu
mode=$1 cmake=$2 build=$3 source=$4 version=$5 python=$6

fail() {
  echo "install_test: $*" >&2
  exit 1
}

work=$(mktemp -d "${TMPDIR:-/tmp}/korvo-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
# Whatever finds the package must be the installation itself.
unset PYTHONPATH

# The command's output, standard error included; a failure ends the test with both.
run() {
  "$@" > "$work/out" 2>&1 || fail "$* ended with status $?: $(cat "$work/out")"
}

if [ "$mode" = prefix ]; then
  prefix=$work/prefix
  run "$cmake" --install "$build" --prefix "$prefix"
  PATH=$prefix/bin:$PATH
  export PATH

  for name in korvo korvo-record korvo-spectra korvo-site korvo-plot korvo-suite; do
    [ "$(command -v "$name")" = "$prefix/bin/$name" ] || fail "$name is not in $prefix/bin"
    run "$name" --version
    [ "$(cat "$work/out")" = "$name $version" ] ||
      fail "$name --version printed '$(cat "$work/out")', not '$name $version'"
  done

  # The example's patterns match elc180.txt and the two .AT2 files of tests/data/tools.
  run korvo-suite "$source/examples/suite/SUITE.toml" --realizations 2 -o suite -q
  grep -q "6 runs (3 records x 2 realizations" "$work/out" || fail "korvo-suite: $(cat "$work/out")"
  [ -n "$(ls suite)" ] || fail "korvo-suite wrote nothing to suite/"

  # The installed korvo-site writes what the build's writes, file for file.
  eql=$source/examples/eql
  run korvo-site "$eql/clay30.toml" "$eql/elc180.txt" --scale-pga 0.3g --at 12 -o site
  run "$build/bin/korvo-site" "$eql/clay30.toml" "$eql/elc180.txt" --scale-pga 0.3g --at 12 \
    -o site-build
  [ -n "$(ls site)" ] || fail "korvo-site wrote nothing to site/"
  diff -r site site-build > /dev/null || fail "the installed korvo-site's files differ from the build's"

  # Without its installed package korvo-suite says so in one line, unless the
  # interpreter finds korvo elsewhere anyway.
  package=$(ls -d "$prefix"/lib/python3.*/dist-packages/korvo) || fail "no package in $prefix/lib"
  ls "$package"/_korvo*.so "$package"/py.typed "$package"/_korvo.pyi > /dev/null ||
    fail "the package in $package is incomplete"
  if ! "$python" -c "import korvo" 2> /dev/null; then
    mv "$package" "$work/aside"
    status=0
    korvo-suite --version > "$work/out" 2>&1 || status=$?
    if [ $status -ne 1 ] || [ "$(wc -l < "$work/out")" -ne 1 ] ||
      ! grep -q "^korvo-suite: the Python package korvo is not in " "$work/out"; then
      fail "korvo-suite without its package: status $status, $(cat "$work/out")"
    fi
  fi
  exit 0
fi

[ "$mode" = pip ] || fail "unknown mode $mode"
if ! "$python" -c "import ensurepip, venv" 2> /dev/null; then
  echo "install_test: skipped: $python has no venv with pip (Debian: python3-venv)"
  exit 77
fi
run "$python" -m venv --system-site-packages venv
if ! venv/bin/python -m pip --version > /dev/null 2>&1; then
  echo "install_test: skipped: the venv of $python has no pip"
  exit 77
fi
# setuptools builds in the build tree rather than the source's python/: its
# CMake build is kept, so only the first run compiles everything.
pip_build=$build/pip-build
rm -rf "$pip_build"/lib.* "$pip_build"/bdist.* "$pip_build"/korvo.egg-info
printf '[build]\nbuild_base = %s\n[egg_info]\negg_base = %s\n' "$pip_build" "$pip_build" > setup.cfg
mkdir -p "$pip_build"
began=$(date +%s)
DIST_EXTRA_CONFIG=$work/setup.cfg
export DIST_EXTRA_CONFIG
run venv/bin/python -m pip install --no-build-isolation \
  --no-index --no-cache-dir --disable-pip-version-check "$source/python"
echo "install_test: pip install took $(($(date +%s) - began)) s"

run venv/bin/korvo-suite --version
[ "$(cat "$work/out")" = "korvo-suite $version" ] ||
  fail "the venv's korvo-suite --version printed '$(cat "$work/out")'"
run venv/bin/python -c "import sys, korvo; assert korvo.__file__.startswith(sys.prefix), korvo.__file__"
