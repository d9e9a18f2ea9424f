#!/bin/sh
# Benchmark of qmail-zelmd against its floor (bench/floor.c). Installs what
# is missing with apt-get, builds the filter in build/ and the benchmark's
# own programs in build/bench/, then runs bench/bench.py, which starts the
# daemon, times both side by side and prints the tables. Options go on to
# bench.py (for instance --pairs-scale 0.3 for a quick look).
set -eu
cd "$(dirname "$0")/.."

need="cmake g++ gcc make pkg-config libgtest-dev libcpp-httplib-dev libcdb-dev python3"
missing=""
for p in $need nginx; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  echo "installing:$missing"
  apt-get update -qq
  # The nginx package would start its own server on port 80: keep services
  # down during the install, unless the machine already has such a rule.
  rule=""
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    rule=/usr/sbin/policy-rc.d
    printf '#!/bin/sh\nexit 101\n' >"$rule"
    chmod 755 "$rule"
  fi
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $(echo "$missing" | sed 's/ nginx//') >/dev/null
  case "$missing" in
    *nginx*) DEBIAN_FRONTEND=noninteractive apt-get install -y -qq nginx >/dev/null ||
               echo "nginx not available: zelmd-sim answers instead" ;;
  esac
  [ -z "$rule" ] || rm -f "$rule"
fi

if [ ! -f build/CMakeCache.txt ]; then
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build build -j "$(nproc)" --target qmail-zelmd qmail-zelmd-policy zelmd-sim >/dev/null

# The queue program and the measuring harness: small and static, the same
# for both sides.
out=build/bench
mkdir -p "$out"
cflags="-O2 -Wall -Wextra -ffunction-sections -fdata-sections"
static="-static -s -Wl,--gc-sections"
build() { # output, source, extra flags, link flags
  # A static getaddrinfo draws a linker warning that says nothing here.
  cc $cflags $3 -o "$out/$1" "bench/$2" $4 2>&1 | grep -v -e getaddrinfo -e 'in function' >&2 || true
  [ -x "$out/$1" ] || { echo "cannot build $out/$1" >&2; exit 1; }
}
rm -f "$out/floor" "$out/passfloor" "$out/drain" "$out/capture" "$out/measure"
# The floor links libc as the filter must (dynamically, for glibc's
# security updates and NSS modules): loading it is part of the least any
# deployable filter does.
build floor floor.c "" "-s -Wl,--gc-sections"
build passfloor passfloor.c "" "-s -Wl,--gc-sections"
build drain drain.c "" "$static"
build capture drain.c "-DCAPTURE" "$static"
build measure measure.c "" "$static"

exec python3 bench/bench.py --build-dir build --bin-dir "$out" "$@"
