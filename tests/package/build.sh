# The package test's build, sourced by run.sh: the package from the tree with
# tools/package.sh, and again from an export of it (git archive) with
# dpkg-buildpackage in another directory, which must give the same bytes; one
# version everywhere, after "dch -i" too; what the package holds, and what
# lintian says of it. Sets deb, version and arch for run.sh, and old_deb and
# last_deb, the released packages it upgrades, when the tree has a history.

build_log=$WORK/build.log
arch=$(dpkg --print-architecture)
version=$(dpkg-parsechangelog -l "$SOURCE_DIR/debian/changelog" -S Version)
deb=$(ZEL_PACKAGE_BUILD_DIR="$BUILD_DIR" timeout 900 sh "$SOURCE_DIR/tools/package.sh" 2>"$build_log" |
      tail -n 1)
if [ -z "$deb" ] || [ ! -f "$deb" ]; then
  cat "$build_log"
  echo "FAIL: tools/package.sh made no package"
  exit 1
fi
pass "tools/package.sh made $(basename "$deb")"
check "the package is named after debian/changelog's version $version" \
  [ "$(basename "$deb")" = "${PACKAGE}_${version}_${arch}.deb" ]
dbgsym=$(dirname "$deb")/${PACKAGE}-dbgsym_${version}_${arch}.deb
check "and its debug symbols are in $(basename "$dbgsym")" \
  [ "$(dpkg-deb -f "$dbgsym" Package Version 2>&1 | tr '\n' ' ')" = "Package: $PACKAGE-dbgsym Version: $version " ]

# The tree exported as a release would be, with git archive: the files git
# tracks, as they are now (through an index of the test's own, so that what is
# not yet committed is in it too), or, in a tree without history, a copy.
# An exported tree unpacked inside some other repository has no history of its own.
has_history=0
[ "$(git -C "$SOURCE_DIR" rev-parse --show-toplevel 2>/dev/null)" = "$SOURCE_DIR" ] &&
  git -C "$SOURCE_DIR" rev-parse --verify -q HEAD >/dev/null && has_history=1
export_tree() {  # export_tree DIR
  local tree
  mkdir -p "$1"
  if [ "$has_history" -eq 1 ]; then
    cp "$(git -C "$SOURCE_DIR" rev-parse --path-format=absolute --git-path index)" "$WORK/index"
    tree=$(export GIT_INDEX_FILE=$WORK/index && git -C "$SOURCE_DIR" add -A && git -C "$SOURCE_DIR" write-tree) ||
      return 1
    # A clean tree is exported from its commit, dated as git archive dates it.
    [ "$tree" = "$(git -C "$SOURCE_DIR" rev-parse 'HEAD^{tree}')" ] && tree=HEAD
    (set -o pipefail; git -C "$SOURCE_DIR" archive "$tree" | tar -x -C "$1")
  else
    (cd "$SOURCE_DIR" && tar -cf - --exclude=./build --exclude=./.git .) | tar -x -C "$1"
  fi
}
# build_in DIR: dpkg-buildpackage in DIR, bounded; its output in the build log.
build_in() {
  (cd "$1" && timeout 900 dpkg-buildpackage -us -uc -b) >>"$build_log" 2>&1
}
export_tree "$WORK/export/$PACKAGE" && cp -a "$WORK/export/$PACKAGE" "$WORK/bumped"
if build_in "$WORK/export/$PACKAGE"; then
  pass "dpkg-buildpackage -us -uc -b builds the exported tree"
else
  tail -n 40 "$build_log"
  fail "dpkg-buildpackage -us -uc -b builds the exported tree"
fi
for name in "$PACKAGE" "$PACKAGE-dbgsym"; do
  file=${name}_${version}_${arch}.deb
  if cmp -s "$(dirname "$deb")/$file" "$WORK/export/$file"; then
    pass "$file from the tree and from its export: the same bytes"
  else
    fail "$file from the tree and from its export: the same bytes"
    [ -f "$WORK/export/$file" ] &&
      timeout 300 diffoscope --text - "$(dirname "$deb")/$file" "$WORK/export/$file" 2>&1 | head -n 60
  fi
done
stamp=$(date -u -d "@$(dpkg-parsechangelog -l "$SOURCE_DIR/debian/changelog" -S Timestamp)" '+%Y-%m-%d %H:%M:%S')
check "every file in it is dated at debian/changelog's entry, $stamp" \
  not grep -qvF -- " $stamp " < <(dpkg-deb --fsys-tarfile "$deb" | TZ=UTC tar -tv --full-time)

# One version: the package's, zel-site's and each manual page's title line.
# agree DEB VERSION WHEN: DEB's version, zel-site and manual pages say VERSION.
agree() {
  local deb=$1 version=$2 when=$3 dir page
  dir=$(mktemp -d -p "$WORK")
  dpkg-deb -x "$deb" "$dir"
  check "$when: its control names $PACKAGE $version" \
    [ "$(dpkg-deb -f "$deb" Package Version | tr '\n' ' ')" = "Package: $PACKAGE Version: $version " ]
  check "$when: zel-site --version names $version" \
    [ "$(timeout 20 "$dir$ZEL_SITE" --version 2>&1)" = "zel-site (zel-auth) $version" ]
  for page in man1/zel-auth.1 man5/zel-site.conf.5 man8/zel-site.8; do
    check "$when: $page's title line names zel-auth $version" \
      grep -q "^\.TH .*\"zel-auth $version\"" <(zcat "$dir/usr/share/man/$page.gz")
  done
  check "$when: its changelog starts with $version" \
    [ "$(zcat "$dir/usr/share/doc/$PACKAGE/changelog.gz" | head -n1)" = "zel-auth ($version) unstable; urgency=medium" ]
  rm -rf "$dir"
}
agree "$deb" "$version" built
# "dch -i" cuts the next version: a rebuild carries it everywhere at once.
if (cd "$WORK/bumped" && DEBEMAIL=zel-auth@build.example.org DEBFULLNAME="zel-auth developers" \
      timeout 60 dch -i --no-auto-nmu --distribution unstable "The package test's next version." >>"$build_log" 2>&1) &&
   build_in "$WORK/bumped"; then
  bumped=$(dpkg-parsechangelog -l "$WORK/bumped/debian/changelog" -S Version)
  check "dch -i makes a later version than $version ($bumped)" dpkg --compare-versions "$bumped" gt "$version"
  agree "$WORK/${PACKAGE}_${bumped}_${arch}.deb" "$bumped" "after dch -i"
else
  tail -n 40 "$build_log"
  fail "dch -i, then dpkg-buildpackage"
fi
rm -rf "$WORK/export/$PACKAGE" "$WORK/bumped"

check "$version is later than $OLD_VERSION and $LAST_VERSION, so that it upgrades them" \
  dpkg --compare-versions "$version" gt "$LAST_VERSION"
depends=$(dpkg-deb -f "$deb" Depends)
check "it does not depend on libssl3 ($depends)" sh -c "! printf '%s' '$depends' | grep -q libssl"
check "it declares the Nettle it links in ($(dpkg-deb -f "$deb" Built-Using))" \
  contains "$(dpkg-deb -f "$deb" Built-Using)" "nettle (= "
check "it depends on adduser" contains "$depends" adduser
check "its Rules-Requires-Root is no: debian/rules needs no root" \
  grep -qx 'Rules-Requires-Root: no' "$SOURCE_DIR/debian/control"
contents=$(dpkg-deb -c "$deb" | awk '{print $NF}')
for path in ./opt/zel/bin/zel-auth ./opt/zel/sbin/zel-site ./opt/zel/etc/ \
            ./usr/share/man/man1/zel-auth.1.gz ./usr/share/man/man5/zel-site.conf.5.gz \
            ./usr/share/man/man8/zel-site.8.gz ./usr/share/doc/zel-auth/copyright \
            ./usr/share/doc/zel-auth/changelog.gz ./usr/share/doc/zel-auth/README.md.gz \
            ./usr/share/doc/zel-auth/examples/zel-site.conf ./usr/share/doc/zel-auth/examples/request.xml \
            ./usr/share/doc/zel-auth/examples/sign_request.py \
            ./usr/share/lintian/overrides/zel-auth ./etc/logrotate.d/zel-auth; do
  check "the package holds $path" grep -qxF -- "$path" <<<"$contents"
done
check "the package holds no site file" not grep -q '^\./opt/zel/etc/.' <<<"$contents"
check "its logrotate file is a conffile" grep -qx /etc/logrotate.d/zel-auth <(dpkg-deb -I "$deb" conffiles)
# What Debian's own checker says of the package and its debug symbols, at its
# most pedantic: nothing but the overrides debian/ explains.
changes=$(dirname "$deb")/${PACKAGE}_${version}_${arch}.changes
if timeout 300 lintian --display-info --pedantic --fail-on error,warning,info,pedantic "$changes" >"$WORK/lintian.log" 2>&1; then
  pass "lintian --pedantic finds nothing"
else
  sed 's/^/    /' "$WORK/lintian.log"
  fail "lintian --pedantic finds something"
fi
dpkg-deb -e "$deb" "$WORK/control"
for script in postinst prerm postrm; do
  check "its $script is written for $TOOL" grep -qF "BINARY=\"$TOOL\"" "$WORK/control/$script"
done

# The released packages, each from its commit and with its own tools/package.sh.
old_deb='' last_deb=''
if [ "$has_history" -eq 1 ]; then
  for release in "$OLD_VERSION" "$LAST_VERSION"; do
    if built=$(release_deb "$release" "$SOURCE_DIR" "$WORK/releases"); then
      check "commit $(release_commit "$release" | cut -c1-7) builds $PACKAGE $release" \
        [ "$(dpkg-deb -f "$built" Version)" = "$release" ]
      [ "$release" = "$OLD_VERSION" ] && old_deb=$built || last_deb=$built
    else
      fail "$PACKAGE $release could not be built from its commit"
    fi
  done
else
  echo "SKIP: $SOURCE_DIR has no history (an exported tree): no $OLD_VERSION or $LAST_VERSION to upgrade from"
fi
