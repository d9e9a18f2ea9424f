#!/bin/sh
# Builds qmail-zelmd and pushes sample messages through it the way
# qmail-smtpd does: message on descriptor 0, envelope on descriptor 1, a
# qmail home as current directory, and a queue program that records what
# it is handed.
set -eu
cd "$(dirname "$0")/.."
top=$(pwd)

need="cmake g++ make pkg-config libgtest-dev libcpp-httplib-dev python3"
missing=""
for p in $need; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  echo "installing:$missing"
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing >/dev/null
fi

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target qmail-zelmd >/dev/null

work=$(mktemp -d /tmp/zelmd-demo-XXXXXX)
made_home=""
cleanup() {
  rm -rf "$work"
  [ -z "$made_home" ] || rmdir /var/qmail 2>/dev/null || true
}
trap cleanup EXIT INT TERM
# The queue program runs in the qmail home; make one for the demo when
# qmail is not installed.
if [ ! -d /var/qmail ]; then mkdir /var/qmail; made_home=1; fi

home=$work/home
mkdir -p "$home/control" "$work/queue"
cat > "$work/recording-queue" <<EOQ
#!/bin/sh
# Stands in for qmail-queue: keeps what it is handed and accepts it.
cat > "$work/queue/message"
cat <&1 > "$work/queue/envelope"
exit 0
EOQ
chmod 755 "$work/recording-queue"
echo "$work/recording-queue" > "$home/control/zelmd_queue_binary"

echo "\$ build/qmail-zelmd -v"
build/qmail-zelmd -v
echo

# run MESSAGE-FILE ENVELOPE-BYTES: runs the filter as qmail-smtpd would.
run() {
  python3 - "$top/build/qmail-zelmd" "$home" "$1" "$2" <<'EOP'
import os, socket, subprocess, sys
binary, home, msgfile, envelope = sys.argv[1:5]
ours, theirs = socket.socketpair()
ours.sendall(envelope.encode().decode('unicode_escape').encode('latin-1'))
ours.shutdown(socket.SHUT_WR)
with open(msgfile, 'rb') as m:
    p = subprocess.Popen([binary], stdin=m, stdout=theirs, cwd=home)
theirs.close()
answer = ours.recv(4096).decode(errors='replace').strip()
p.wait()
print(f"exit code {p.returncode}" + (f", said on descriptor 1: {answer}" if answer else ""))
EOP
}

printf 'From: alice@example.org\nTo: bob@example.net\nSubject: hello\n\nHi Bob,\nlunch at noon?\n' > "$work/hello.eml"
echo "== a short message, inbound, classification off (the default)"
run "$work/hello.eml" 'Falice@example.org\0Tbob@example.net\0Tcarol@example.net\0\0'
echo "-- the queue program received on descriptor 0:"
sed 's/^/   | /' "$work/queue/message"
echo "-- and on descriptor 1 (NUL bytes shown as |):"
tr '\000' '|' < "$work/queue/envelope" | sed 's/^/   /'; echo
echo

echo "== a 200 kB message: spooled to /tmp/qmail-zelmd/<pid>/ and passed on whole"
{ printf 'Subject: big\n\n'; head -c 200000 /dev/zero | tr '\000' 'x'; } > "$work/big.eml"
run "$work/big.eml" 'Falice@example.org\0Tbob@example.net\0\0'
if cmp -s "$work/big.eml" "$work/queue/message"; then echo "-- received byte for byte ($(wc -c < "$work/queue/message") bytes)"; fi
echo

echo "== a malformed envelope (two senders): refused"
run "$work/hello.eml" 'Fa@example.org\0Fb@example.org\0Tc@example.net\0\0'
echo
echo "== an unreadable control file"
mkdir "$home/control/zelmd_in_host"
run "$work/hello.eml" 'Falice@example.org\0Tbob@example.net\0\0'
rmdir "$home/control/zelmd_in_host"
