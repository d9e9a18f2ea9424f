#!/bin/sh
# The README's commands for installing from the packages, wiring the filter
# into qmail-smtpd and removing it, taken from README.md as it reads now and
# run as root in a throw-away copy of this machine: private mount, network
# and process namespaces, with / overlaid by a tmpfs that takes every
# change. Where that cannot be had, the commands are only checked for names
# that exist.
# usage: readme.sh SOURCE_DIR BUILD_DIR QMAIL_HOME VERSION [README]
set -eu
# The SMTP user reads and writes below the scratch directory.
umask 022
fail() { echo "FAIL: $*"; exit 1; }

# In the namespaces: the overlay, then the rest in a chroot into it.
# Exit 77 says the overlay cannot be had here.
if [ "${1-}" = --ns ]; then
  s=$2 r=$2/ns/root
  mount -t tmpfs tmpfs "$s/ns" 2>/dev/null || exit 77
  mkdir "$s/ns/upper" "$s/ns/work" "$r"
  mount -t overlay overlay -o "lowerdir=/,upperdir=$s/ns/upper,workdir=$s/ns/work" "$r" \
    2>/dev/null || exit 77
  ip link set lo up
  mount -t proc proc "$r/proc"
  mount --rbind /dev "$r/dev"
  mount --bind /sys "$r/sys"
  mount -t tmpfs tmpfs "$r/tmp"
  # The filter's log lines stay out of the host's syslog.
  if [ -S "$r/dev/log" ] && [ ! -L "$r/dev/log" ]; then mount --bind /dev/null "$r/dev/log"; fi
  cp -a "$s/in" "$r/tmp/readme"
  exec chroot "$r" /bin/sh /tmp/readme/readme.sh --chroot
fi

if [ "${1-}" = --chroot ]; then
  cd /tmp/readme
  export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LC_ALL=C
  export DEBIAN_FRONTEND=noninteractive APT_CONFIG=/tmp/readme/apt.conf
  # The administrator answers apt's questions with yes.
  echo 'APT::Get::Assume-Yes "true";' > apt.conf

  # qmail, as far as the README relies on it: its SMTP user, its home, a
  # queue program that records, and ucspi-tcp's and daemontools' tools.
  getent passwd qmaild >/dev/null || useradd -r -d /var/qmail -s /usr/sbin/nologin qmaild
  mkdir -p /var/qmail/bin /var/qmail/control
  echo mail.example.org > /var/qmail/control/me
  mkdir -m 1777 queued
  cat > /var/qmail/bin/qmail-queue <<'EOF'
#!/bin/sh
cat > /tmp/readme/queued/msg && cat 0<&1 > /tmp/readme/queued/env
EOF
  chmod 755 /var/qmail/bin/qmail-queue
  command -v tcprules >/dev/null || {
    cat > /usr/local/bin/tcprules <<'EOF'
#!/bin/sh
# The rules, checked, go to TMP, which then takes the place of CDB.
[ $# = 2 ] || { echo "usage: tcprules rules.cdb rules.tmp" >&2; exit 100; }
awk '!/^(#|$)/ && !/^[^:]*:(allow|deny)(,[A-Za-z_][A-Za-z0-9_]*=("[^"]*"|[^,"]*))*$/ {
  print "tcprules: bad rule: " $0 > "/dev/stderr"; bad = 1 } { print } END { exit bad }' > "$2" &&
  mv "$2" "$1"
EOF
    chmod 755 /usr/local/bin/tcprules
  }
  command -v setuidgid >/dev/null || {
    cat > /usr/local/bin/setuidgid <<'EOF'
#!/bin/sh
# The user's uid and primary gid, and no other group.
uid=$(id -u "$1") && gid=$(id -g "$1") || exit 111
shift
exec setpriv --reuid="$uid" --regid="$gid" --clear-groups -- "$@"
EOF
    chmod 755 /usr/local/bin/setuidgid
  }

  # part NAME: the README's commands of NAME, up to the first that fails.
  part() { sh "$1.sh" </dev/null >"$1.log" 2>&1 || { tail -n 30 "$1.log"; exit 1; }; }

  part install
  # Step 1 of the wiring: the daemon, where the filter looks by default,
  # under the user of the daemontools example, whose primary group is
  # that of the spool directory.
  groupadd -r -f zelmd
  useradd -r -g zelmd -d /nonexistent -s /usr/sbin/nologin zelmdsim
  setuidgid zelmdsim zelmd-sim >/dev/null 2>sim.log &
  sim=$!
  i=0
  until ss -Hltn 'sport = :8088' | grep -q .; do
    kill -0 $sim 2>/dev/null || { cat sim.log; fail "zelmd-sim ended"; }
    i=$((i + 1))
    [ $i -lt 100 ] || fail "zelmd-sim does not listen on port 8088"
    sleep 0.1
  done
  part wire
  grep -q 'no problems found' wire.log || { cat wire.log; fail "the check command found problems"; }
  [ -f /etc/tcp.smtp.cdb ] && [ ! -e /etc/tcp.smtp.tmp ] || fail "no rules database made"
  queues=$(sed -n 's/.*QMAILQUEUE="\([^"]*\)".*/\1/p' /etc/tcp.smtp)
  [ -n "$queues" ] || fail "the rules set no QMAILQUEUE"
  for q in $queues; do [ -x "$q" ] || fail "the rules name $q, which is not installed"; done
  # The daemon reads spool files through the directory's group.
  [ "$(stat -c '%U:%G %a' /var/qmail/zelmd-spool)" = "qmaild:zelmd 2750" ] ||
    fail "spool directory: $(stat -c '%U:%G %a' /var/qmail/zelmd-spool)"
  [ "$(stat -c '%U %a' /var/spool/qmail-zelmd)" = "qmaild 700" ] ||
    fail "report folder: $(stat -c '%U %a' /var/spool/qmail-zelmd)"

  # The first test without swaks: GTUBE from a relaying client on
  # 127.0.0.1, through the filter as qmail-smtpd runs it. Outbound, so
  # zelmd-sim flags the sender and a report copy is made.
  printf 'Subject: readme\n\nXJS*C4JDBQADN1.NSBN3*2IDNEN*GTUBE-STANDARD-ANTI-UBE-TEST-EMAIL*C.34X\n' > msg
  printf 'Fyou@example.org\0Tpostmaster@example.org\0\0' > envelope
  rc=0
  (cd /var/qmail && RELAYCLIENT='' TCPREMOTEIP=127.0.0.1 \
    setuidgid qmaild bin/qmail-zelmd </tmp/readme/msg 1</tmp/readme/envelope) || rc=$?
  [ $rc = 0 ] || fail "the filter ended with $rc on GTUBE from 127.0.0.1"
  grep -q '^X-ZELM-Spam: Confirmed' queued/msg || fail "GTUBE queued without its verdict"
  ls /var/spool/qmail-zelmd/msg* >/dev/null 2>&1 || fail "no report copy of GTUBE"

  kill $sim
  wait $sim || true
  part remove
  left=
  for f in /var/qmail/bin/qmail-zelmd* /var/qmail/control/zelmd_* /var/qmail/zelmd-spool \
    /var/spool/qmail-zelmd /tmp/qmail-zelmd*; do
    if [ -e "$f" ]; then left="$left $f"; fi
  done
  [ -z "$left" ] || fail "left after removing:$left"
  pkgs=$(dpkg-query -W -f='${Package} ${Status}\n' qmail-zelmd zelmd-sim 2>/dev/null |
    grep -v ' not-installed$' || true)
  [ -z "$pkgs" ] || fail "packages left: $pkgs"
  ! grep -l QMAILQUEUE /etc/tcp.smtp /etc/tcp.smtp.cdb || fail "QMAILQUEUE left in the rules"
  ! getent group zelmd || fail "group zelmd left"
  [ -x /var/qmail/bin/qmail-queue ] && [ -f /var/qmail/control/me ] || fail "qmail itself went too"
  exit 0
fi

src=$1 build=$2 home=$3 version=$4 readme=${5:-$src/README.md}
if [ "$home" != /var/qmail ]; then
  echo "readme: SKIP the README speaks of /var/qmail, this build is for $home"
  exit 0
fi
scratch=$(mktemp -d /tmp/zelmd-readme-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
in=$scratch/in
mkdir -p "$in/build" "$scratch/ns"

(cd "$scratch" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/pkg") \
  >"$scratch/cpack.log" 2>&1 || { cat "$scratch/cpack.log"; fail "cpack"; }
mv "$scratch"/pkg/*.deb "$in/build/"
deb=$in/build/qmail-zelmd_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || fail "packages made: $(ls "$in/build")"
cp "$readme" "$in/README.md"
cp "$0" "$in/readme.sh"

# The code blocks (lines indented by 4 or more spaces) of the three
# sections, as one script each. Of the first only the lines that install
# the packages; a block of tcpserver rules is written to /etc/tcp.smtp.
awk -v dir="$in" '
function flush(  f, i, rules) {
  if (!nb) return
  f = dir "/" (sec ~ /packages/ ? "install" : sec ~ /Wiring/ ? "wire" : "remove") ".sh"
  rules = 1
  for (i = 1; i <= nb; i++) if (blk[i] !~ /^[^ ]*:(allow|deny)/) rules = 0
  if (rules) {
    print "n=" ln[1] "; cat > /etc/tcp.smtp <<\"EOF\"" > f
    for (i = 1; i <= nb; i++) { print blk[i] > f; print blk[i] > (dir "/rules") }
    print "EOF" > f
  } else for (i = 1; i <= nb; i++) {
    if (f ~ /install/ && blk[i] !~ /^apt install \.\/build\//) continue
    if (i == 1 || blk[i - 1] !~ /\\$/) print "n=" ln[i] > f
    print blk[i] > f
    print blk[i] > (dir "/commands")
  }
  nb = 0
}
BEGIN {
  split("install wire remove", parts)
  for (p in parts) print "set -e\nn=0\ntrap '\''rc=$?; [ $rc = 0 ] || { printf \"FAIL: README line %s exits %s: \" $n $rc; sed -n \"${n}s/^ *//p\" /tmp/readme/README.md; }'\'' EXIT" > (dir "/" parts[p] ".sh")
}
/^#/ { flush(); sec = $0; next }
sec !~ /^(### From the packages|## Wiring it into qmail-smtpd|## Removing)$/ { next }
/^    / { sub(/^ +/, ""); blk[++nb] = $0; ln[nb] = NR; next }
{ flush() }
END { flush() }' "$readme"
for p in install wire remove; do
  grep -q '^n=[1-9]' "$in/$p.sh" || fail "$readme: no commands for the $p step"
done
[ -s "$in/rules" ] || fail "$readme: no tcpserver rules"

# names_only WHY: every command the blocks start is a builtin, on this
# machine, or one of the packages' or qmail's; the packages they install
# are the ones made; every filter path they name is in the package.
names_only() {
  cd "$in"
  known=" qmail-zelmd qmail-zelmd-check zelmd-sim tcprules setuidgid "
  files=$(dpkg-deb -c "$deb" | awk '{ print substr($6, 2) }')
  for w in $(sed 's/[[:space:]]#.*//' commands | sed 's/[;|&()]/\n/g' |
    awk '{ for (i = 1; i <= NF; i++) if ($i !~ /=/) { if ($i ~ /^[A-Za-z0-9_.\/-]+$/) print $i; break } }'); do
    case $known in *" ${w##*/} "*) ;; *) command -v "$w" >/dev/null || fail "no command $w" ;; esac
  done
  for w in $(grep -o '\./build/[^ ]*' commands); do
    [ -e "$w" ] || fail "$w matches no package made"
  done
  for w in $(grep -oh '/var/qmail/bin/qmail-zelmd[A-Za-z0-9_.-]*' commands rules); do
    echo "$files" | grep -qx "$w" || fail "$w is not in the package"
  done
  echo "readme: ok (names only: $1)"
  exit 0
}

[ "$(id -u)" = 0 ] || names_only "not root"
unshare --mount --net --pid --fork true 2>/dev/null || names_only "no namespaces"
rc=0
unshare --mount --net --pid --fork --kill-child sh "$0" --ns "$scratch" || rc=$?
[ $rc != 77 ] || names_only "no overlay on /"
[ $rc = 0 ] || exit $rc
echo "readme: ok"
