# The released versions that the package upgrades, each by the commit it was
# built from: the history has no tags. Sourced by the package test.
#   1.0.0: the last tree whose program was set-user-ID to a service account zel
#          (the next one, "Version 1.1.0: ...", began 1.1.0);
#   1.1.0: the set-group-ID release, packaged with CPack.
RELEASES="1.0.0:d19c2b9993c3f17d842abcc8aa6b49d3d0d579b2 1.1.0:d981166b117ecf4f6de2999137718d0b8f4d5c10"

# release_commit VERSION: the commit VERSION was built from.
release_commit() {
  local r
  for r in $RELEASES; do
    [ "${r%%:*}" = "$1" ] && { echo "${r#*:}"; return 0; }
  done
  return 1
}

# release_deb VERSION SOURCE_DIR WORK: builds VERSION's package from its commit
# in SOURCE_DIR's history, with that tree's own tools/package.sh, in
# WORK/VERSION, dated at the commit; prints the package's path, or says why it
# can't on standard error and fails.
release_deb() {
  local version=$1 source_dir=$2 dir=$3/$1 commit deb
  commit=$(release_commit "$version") || { echo "no commit is known for $version" >&2; return 1; }
  mkdir -p "$dir/tree"
  if ! (set -o pipefail; timeout 60 git -C "$source_dir" archive "$commit" | tar -x -C "$dir/tree") 2>"$dir/log"; then
    cat "$dir/log" >&2
    echo "commit $commit of $version is not in $source_dir (a shallow clone?)" >&2
    return 1
  fi
  deb=$(SOURCE_DATE_EPOCH=$(git -C "$source_dir" log -1 --format=%ct "$commit") \
        ZEL_PACKAGE_BUILD_DIR="$dir/build" timeout 900 sh "$dir/tree/tools/package.sh" 2>>"$dir/log" |
        tail -n 1)
  if [ -z "$deb" ] || [ ! -f "$deb" ]; then
    tail -n 30 "$dir/log" >&2
    echo "$version's tools/package.sh made no package" >&2
    return 1
  fi
  rm -rf "$dir/tree"
  echo "$deb"
}
