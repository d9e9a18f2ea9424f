#!/bin/sh
# The install rules and the Debian packages made from them: the files an
# administrator gets, their modes, nothing written into control/, the
# dependencies, and what lintian says; and the same packages built for the
# other qmail home, whose texts must name that home throughout.
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

# check_tree ROOT PREFIX HOME
check_tree() {
  root=$1 prefix=$2 qhome=$3
  mode "$root$qhome/bin/qmail-zelmd" 755
  mode "$root$qhome/bin/qmail-zelmd-check" 755
  mode "$root$qhome/bin/qmail-zelmd-stat" 755
  mode "$root$qhome/bin/qmail-zelmd-release" 755
  mode "$root$qhome/bin/qmail-zelmd-policy" 755
  mode "$root$prefix/bin/zelmd-sim" 755
  for page in qmail-zelmd qmail-zelmd-check qmail-zelmd-stat qmail-zelmd-release qmail-zelmd-policy \
    zelmd-sim; do
    mode "$root$prefix/share/man/man8/$page.8.gz" 644
  done
  for pkg in qmail-zelmd zelmd-sim; do
    mode "$root$prefix/share/doc/$pkg/copyright" 644
    mode "$root$prefix/share/doc/$pkg/changelog.gz" 644
  done
  mode "$root$prefix/share/doc/qmail-zelmd/examples/tcp.smtp" 644
  mode "$root$prefix/share/doc/qmail-zelmd/examples/control/zelmd_check_inbound" 644
  [ ! -e "$root$qhome/control" ] || fail "the install wrote into $qhome/control"
  out=$("$root$qhome/bin/qmail-zelmd" -v)
  [ "$out" = "$root$qhome/bin/qmail-zelmd ver $version" ] || fail "installed binary says: $out"
}

# homed SOURCE COPY HOME: COPY is SOURCE with the default home replaced by
# HOME.
homed() {
  with=$(printf '%s' "$3" | sed 's/[|&\\]/\\&/g')
  sed "/QMAIL_HOME/!s|/var/qmail|$with|g" "$1" > "$scratch/homed"
  cmp -s "$scratch/homed" "$2" || {
    diff "$scratch/homed" "$2" | head -n 8
    fail "$2 is not $1 for the home $3 (or the build is older than the source)"
  }
}

# texts ROOT HOME: the pages, the README and the examples as installed name
# HOME where their sources name the default home, the texts that say where
# the filter is installed name HOME, and none names another home but where
# a line speaks of the QMAIL_HOME setting and its default.
texts() {
  for page in qmail-zelmd qmail-zelmd-check qmail-zelmd-stat qmail-zelmd-release qmail-zelmd-policy \
    zelmd-sim; do
    gzip -dc "$1/usr/share/man/man8/$page.8.gz" > "$scratch/$page.8"
    homed "$src/doc/$page.8" "$scratch/$page.8" "$2"
  done
  homed "$src/README.md" "$1/usr/share/doc/qmail-zelmd/README.md" "$2"
  for f in $(cd "$src/doc/examples" && find . -type f); do
    case $f in ./zelmd-sim*) pkg=zelmd-sim ;; *) pkg=qmail-zelmd ;; esac
    homed "$src/doc/examples/$f" "$1/usr/share/doc/$pkg/examples/$f" "$2"
  done
  for f in "$scratch/qmail-zelmd.8" "$scratch/qmail-zelmd-check.8" \
      "$1/usr/share/doc/qmail-zelmd/README.md" "$1/usr/share/doc/qmail-zelmd/examples/tcp.smtp"; do
    grep -qF "$2/bin/qmail" "$f" || fail "$f does not name $2/bin"
  done
  [ "$2" = /var/qmail ] || ! grep -rF /var/qmail "$scratch"/*.8 "$1/usr/share/doc" |
    grep -v QMAIL_HOME || fail "texts of the $2 build name /var/qmail"
}

# Every file in a package is one the install rules name for it.
# files DEB: its regular files with their modes.
files() {
  dpkg-deb -c "$1" | awk '{print $1, $6}' | grep -v '^d' | sed 's|^\(.\{10\}\) \./|\1 /|' | sort
}

# packages BUILD DIR HOME: the packages of BUILD made in DIR/pkg, unpacked
# together in DIR/unpacked, hold what the install rules name and nothing
# else. Sets filter and sim.
packages() {
  (cd "$2" && cpack -G DEB --config "$1/CPackConfig.cmake" -B "$2/pkg" >/dev/null)
  arch=$(dpkg --print-architecture)
  filter=$2/pkg/qmail-zelmd_${version}_$arch.deb
  sim=$2/pkg/zelmd-sim_${version}_$arch.deb
  [ -f "$filter" ] && [ -f "$sim" ] || fail "packages made: $(ls "$2/pkg")"
  for deb in "$filter" "$sim"; do dpkg-deb -x "$deb" "$2/unpacked"; done
  check_tree "$2/unpacked" /usr "$3"
  texts "$2/unpacked" "$3"

  cat > "$scratch/want" <<EOL
-rw-r--r-- /usr/share/doc/qmail-zelmd/README.md
-rw-r--r-- /usr/share/doc/qmail-zelmd/changelog.gz
-rw-r--r-- /usr/share/doc/qmail-zelmd/copyright
-rw-r--r-- /usr/share/lintian/overrides/qmail-zelmd
-rw-r--r-- /usr/share/man/man8/qmail-zelmd-check.8.gz
-rw-r--r-- /usr/share/man/man8/qmail-zelmd-policy.8.gz
-rw-r--r-- /usr/share/man/man8/qmail-zelmd-release.8.gz
-rw-r--r-- /usr/share/man/man8/qmail-zelmd-stat.8.gz
-rw-r--r-- /usr/share/man/man8/qmail-zelmd.8.gz
-rwxr-xr-x $3/bin/qmail-zelmd
-rwxr-xr-x $3/bin/qmail-zelmd-check
-rwxr-xr-x $3/bin/qmail-zelmd-policy
-rwxr-xr-x $3/bin/qmail-zelmd-release
-rwxr-xr-x $3/bin/qmail-zelmd-stat
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
}

# lint HARDENING DEB...: no error or warning that is not overridden, no
# override left unused, and every hardening feature named present.
lint() {
  hardening=$1
  shift
  status=0
  # Its temporary files (mldbm-elf-*) stay behind; in the scratch
  # directory they go with it.
  TMPDIR=$scratch lintian -I --fail-on error,warning "$@" > "$scratch/lintian" 2>&1 || status=$?
  grep -v 'running with root privileges' "$scratch/lintian" || true
  [ $status = 0 ] || fail "lintian found errors or warnings"
  ! grep -Eq "hardening-no-($hardening)|unused-override|mismatched-override" "$scratch/lintian" ||
    fail "lintian: missing hardening or a stale override"
}

# cmake --install honours DESTDIR; lintian's notes are for the package only.
DESTDIR=$scratch/destdir cmake --install "$build" --prefix /usr >/dev/null
check_tree "$scratch/destdir" /usr "$home"
[ ! -e "$scratch/destdir/usr/share/lintian" ] || fail "a plain install carries lintian overrides"

packages "$build" "$scratch" "$home"

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

# Fortification is missing only from the checked build, which goes without
# it.
command -v lintian >/dev/null || fail "lintian is not installed (apt-get install lintian)"
hardening='bindnow|pie|relro|fortify-functions'
[ "$sanitize" != 1 ] || hardening='bindnow|pie|relro'
lint "$hardening" "$filter" "$sim"

# The other layout from the same sources, a plain build of the packages
# only: Debian's qmail home, or the default one when this build is for
# Debian's.
other=/var/lib/qmail
[ "$home" != /var/lib/qmail ] || other=/var/qmail
mkdir "$scratch/other"
if ! { cmake -S "$src" -B "$scratch/other/build" -DQMAIL_HOME="$other" -DZELMD_TESTS=OFF &&
    cmake --build "$scratch/other/build" -j "$(nproc)"; } > "$scratch/other/log" 2>&1; then
  cat "$scratch/other/log"
  fail "the $other build failed"
fi
packages "$scratch/other/build" "$scratch/other" "$other"
lint 'bindnow|pie|relro|fortify-functions' "$filter" "$sim"

# The manual pages render without a warning.
for page in "$src"/doc/*.8; do
  warnings=$(groff -ww -z -man -t "$page" 2>&1)
  [ -z "$warnings" ] || fail "$page: $warnings"
  warnings=$(MANPAGER=cat MANWIDTH=80 man -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "$page: $warnings"
done
echo "package: ok"
