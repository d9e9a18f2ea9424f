# Sourced by the project's commands: need PACKAGE... installs with apt-get
# the Debian packages that are not installed yet.

# The packages named that are not installed, in $missing.
find_missing() {
  missing=""
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
  done
}

need() {
  find_missing "$@"
  [ -n "$missing" ] || return 0
  echo "installing:$missing"
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing >/dev/null
}

# want PACKAGE... installs as need does what only some tests use (they skip
# without it): a failed install is reported and the caller goes on. Such a
# package may be a server that starts its own service on install, so
# services are kept down meanwhile, unless the machine has such a rule.
want() {
  find_missing "$@"
  [ -n "$missing" ] || return 0
  echo "installing:$missing"
  rule=""
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    rule=/usr/sbin/policy-rc.d
    printf '#!/bin/sh\nexit 101\n' >"$rule" && chmod 755 "$rule" || rule=""
  fi
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing >/dev/null ||
    echo "could not install$missing: the tests that need it skip"
  [ -z "$rule" ] || rm -f "$rule"
  return 0
}
