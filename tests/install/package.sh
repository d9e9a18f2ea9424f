#!/bin/sh
# The install rules and the Debian package made from them: the files an
# administrator gets, their modes, and nothing written into control/.
# usage: package.sh SOURCE_DIR BUILD_DIR QMAIL_HOME
set -eu
src=$1 build=$2 home=$3
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
  mode "$root$prefix/bin/zelmd-sim" 755
  mode "$root$prefix/share/man/man8/qmail-zelmd.8" 644
  mode "$root$prefix/share/man/man8/zelmd-sim.8" 644
  mode "$root$prefix/share/doc/qmail-zelmd/examples/tcp.smtp" 644
  mode "$root$prefix/share/doc/qmail-zelmd/examples/control/zelmd_check_inbound" 644
  [ ! -e "$root$home/control" ] || fail "the install wrote into $home/control"
  out=$("$root$home/bin/qmail-zelmd" -v)
  [ "$out" = "$root$home/bin/qmail-zelmd ver 1.5" ] || fail "installed binary says: $out"
}

# cmake --install honours DESTDIR.
DESTDIR=$scratch/destdir cmake --install "$build" --prefix /usr >/dev/null
check_tree "$scratch/destdir" /usr

# The package, unpacked.
(cd "$scratch" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/pkg" >/dev/null)
deb=$(ls "$scratch"/pkg/qmail-zelmd_1.5_*.deb)
case $deb in *_$(dpkg --print-architecture).deb) ;; *) fail "package name $deb" ;; esac
dpkg-deb -f "$deb" Depends | grep -q 'libc6' || fail "no runtime dependencies declared"
dpkg-deb -x "$deb" "$scratch/unpacked"
check_tree "$scratch/unpacked" /usr
# Every file in the package is one the install rules name.
dpkg-deb -c "$deb" | awk '{print $1, $6}' | grep -v '^d' | sed 's|^\(.\{10\}\) \./|\1 /|' | sort > "$scratch/list"
cat > "$scratch/want" <<EOL
-rw-r--r-- /usr/share/doc/qmail-zelmd/README.md
-rw-r--r-- /usr/share/doc/qmail-zelmd/examples/tcp.smtp
-rw-r--r-- /usr/share/doc/qmail-zelmd/examples/zelmd-sim.service
-rw-r--r-- /usr/share/doc/qmail-zelmd/examples/zelmd-sim/log/run
-rw-r--r-- /usr/share/doc/qmail-zelmd/examples/zelmd-sim/run
-rw-r--r-- /usr/share/man/man8/qmail-zelmd-check.8
-rw-r--r-- /usr/share/man/man8/qmail-zelmd.8
-rw-r--r-- /usr/share/man/man8/zelmd-sim.8
-rwxr-xr-x /usr/bin/zelmd-sim
-rwxr-xr-x $home/bin/qmail-zelmd
-rwxr-xr-x $home/bin/qmail-zelmd-check
EOL
for f in "$src"/doc/examples/control/*; do
  echo "-rw-r--r-- /usr/share/doc/qmail-zelmd/examples/control/$(basename "$f")" >> "$scratch/want"
done
sort -o "$scratch/want" "$scratch/want"
diff "$scratch/want" "$scratch/list" || fail "package file list differs"

# The manual pages render without a warning.
for page in "$src"/doc/*.8; do
  warnings=$(groff -ww -z -man -t "$page" 2>&1)
  [ -z "$warnings" ] || fail "$page: $warnings"
  warnings=$(MANPAGER=cat MANWIDTH=80 man -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "$page: $warnings"
done
echo "package: ok"
