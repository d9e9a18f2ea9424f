#!/bin/sh
# The install rules and the Debian packages made from them: the files an
# administrator gets, their modes, nothing written into control/, the
# dependencies, and what lintian says.
# usage: package.sh SOURCE_DIR BUILD_DIR QMAIL_HOME VERSION SANITIZE
set -eu
src=$1 build=$2 home=$3 version=$4 sanitize=$5
scratch=$(mktemp -d /tmp/zelmd-package-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

# mode PATH WANT: the octal mode of PATH is WANT.
mode() {
  [ -e "$1" ] || fail "missing $1"
  got=$(stat -c %a "$1")
  [ "$got" = "$2" ] || fail "$1 has mode $got, want $2"
}

check_tree() {
  root=$1 prefix=$2
  mode "$root$home/bin/qmail-zelmd" 755
  mode "$root$home/bin/qmail-zelmd-check" 755
  mode "$root$prefix/bin/zelmd-sim" 755
  for page in qmail-zelmd qmail-zelmd-check zelmd-sim; do
    mode "$root$prefix/share/man/man8/$page.8.gz" 644
  done
  for pkg in qmail-zelmd zelmd-sim; do
    mode "$root$prefix/share/doc/$pkg/copyright" 644
    mode "$root$prefix/share/doc/$pkg/changelog.gz" 644
  done
  mode "$root$prefix/share/doc/qmail-zelmd/examples/tcp.smtp" 644
  mode "$root$prefix/share/doc/qmail-zelmd/examples/control/zelmd_check_inbound" 644
  [ ! -e "$root$home/control" ] || fail "the install wrote into $home/control"
  out=$("$root$home/bin/qmail-zelmd" -v)
  [ "$out" = "$root$home/bin/qmail-zelmd ver $version" ] || fail "installed binary says: $out"
}

# cmake --install honours DESTDIR; lintian's notes are for the package only.
DESTDIR=$scratch/destdir cmake --install "$build" --prefix /usr >/dev/null
check_tree "$scratch/destdir" /usr
[ ! -e "$scratch/destdir/usr/share/lintian" ] || fail "a plain install carries lintian overrides"

# The packages, unpacked together.
(cd "$scratch" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/pkg" >/dev/null)
arch=$(dpkg --print-architecture)
filter=$scratch/pkg/qmail-zelmd_${version}_$arch.deb
sim=$scratch/pkg/zelmd-sim_${version}_$arch.deb
[ -f "$filter" ] && [ -f "$sim" ] || fail "packages made: $(ls "$scratch/pkg")"
for deb in "$filter" "$sim"; do dpkg-deb -x "$deb" "$scratch/unpacked"; done
check_tree "$scratch/unpacked" /usr

# The filter's package needs libc and nothing else; the sanitizer runtimes
# make that untrue of a checked build, whose packages are never shipped.
depends=$(dpkg-deb -f "$filter" Depends)
if [ "$sanitize" = 1 ]; then
  case $depends in *libc6*) ;; *) fail "qmail-zelmd depends on: $depends" ;; esac
else
  echo "$depends" | grep -Eqx 'libc6 \(>= [0-9.]+\)' || fail "qmail-zelmd depends on: $depends"
fi
dpkg-deb -f "$sim" Depends | grep -q 'libc6' || fail "zelmd-sim declares no runtime dependencies"
[ "$(dpkg-deb -f "$sim" Source)" = qmail-zelmd ] || fail "zelmd-sim does not name its source"

# Every file in a package is one the install rules name for it.
# files DEB: its regular files with their modes.
files() {
  dpkg-deb -c "$1" | awk '{print $1, $6}' | grep -v '^d' | sed 's|^\(.\{10\}\) \./|\1 /|' | sort
}
cat > "$scratch/want" <<EOL
-rw-r--r-- /usr/share/doc/qmail-zelmd/README.md
-rw-r--r-- /usr/share/doc/qmail-zelmd/changelog.gz
-rw-r--r-- /usr/share/doc/qmail-zelmd/copyright
-rw-r--r-- /usr/share/lintian/overrides/qmail-zelmd
-rw-r--r-- /usr/share/man/man8/qmail-zelmd-check.8.gz
-rw-r--r-- /usr/share/man/man8/qmail-zelmd.8.gz
-rwxr-xr-x $home/bin/qmail-zelmd
-rwxr-xr-x $home/bin/qmail-zelmd-check
EOL
(cd "$src/doc/examples" && find . -type f ! -path './zelmd-sim*') |
  sed 's|^\./|-rw-r--r-- /usr/share/doc/qmail-zelmd/examples/|' >> "$scratch/want"
sort -o "$scratch/want" "$scratch/want"
files "$filter" > "$scratch/list"
diff "$scratch/want" "$scratch/list" || fail "qmail-zelmd file list differs"
sort > "$scratch/want" <<EOL
-rw-r--r-- /usr/share/doc/zelmd-sim/changelog.gz
-rw-r--r-- /usr/share/doc/zelmd-sim/copyright
-rw-r--r-- /usr/share/doc/zelmd-sim/examples/zelmd-sim.service
-rwxr-xr-x /usr/share/doc/zelmd-sim/examples/zelmd-sim/log/run
-rwxr-xr-x /usr/share/doc/zelmd-sim/examples/zelmd-sim/run
-rw-r--r-- /usr/share/man/man8/zelmd-sim.8.gz
-rwxr-xr-x /usr/bin/zelmd-sim
EOL
files "$sim" > "$scratch/list"
diff "$scratch/want" "$scratch/list" || fail "zelmd-sim file list differs"

# The changelog's latest entry is the version packaged.
for pkg in qmail-zelmd zelmd-sim; do
  gzip -dc "$scratch/unpacked/usr/share/doc/$pkg/changelog.gz" > "$scratch/changelog"
  got=$(dpkg-parsechangelog -l "$scratch/changelog" -S Version)
  [ "$got" = "$version" ] || fail "$pkg: changelog ends at $got, the package is $version"
done

# Every override says why in the comment line above it.
awk '/^[^#]/ && prev !~ /^#/ { print FILENAME ":" NR ": no reason given"; bad = 1 }
     { prev = $0 } END { exit bad }' "$scratch/unpacked/usr/share/lintian/overrides/qmail-zelmd" ||
  fail "lintian override without a reason"

# lintian: no error or warning that is not overridden, no override left
# unused, and every hardening feature present, but for fortification in the
# checked build, which goes without it.
command -v lintian >/dev/null || fail "lintian is not installed (apt-get install lintian)"
status=0
lintian -I --fail-on error,warning "$filter" "$sim" > "$scratch/lintian" 2>&1 || status=$?
grep -v 'running with root privileges' "$scratch/lintian" || true
[ $status = 0 ] || fail "lintian found errors or warnings"
hardening='bindnow|pie|relro|fortify-functions'
[ "$sanitize" != 1 ] || hardening='bindnow|pie|relro'
! grep -Eq "hardening-no-($hardening)|unused-override|mismatched-override" "$scratch/lintian" ||
  fail "lintian: missing hardening or a stale override"

# The manual pages render without a warning.
for page in "$src"/doc/*.8; do
  warnings=$(groff -ww -z -man -t "$page" 2>&1)
  [ -z "$warnings" ] || fail "$page: $warnings"
  warnings=$(MANPAGER=cat MANWIDTH=80 man -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "$page: $warnings"
done
echo "package: ok"
