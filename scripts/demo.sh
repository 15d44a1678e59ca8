#!/usr/bin/env bash
# Shows pelliton at work, without any outside news server: builds pelliton
# and the project's test news server, makes a throwaway certificate
# authority and server certificate, starts the server with TLS on a free
# port of 127.0.0.1 with the sample newsgroups of tests/data/spool, writes
# a server file, a filter file and a newsrc into a temporary directory, and
# runs pelliton twice against it: the first run files the new articles
# into mailboxes, a Maildir and a command, the second finds nothing new.
#
#   scripts/demo.sh            (set PELLITON_DEMO_KEEP=1 to keep the files)
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

PELLITON_WITH_INN=0 scripts/install-deps.sh
cmake -S . -B build >/dev/null
cmake --build build --target pelliton pelliton-testserver pelliton-testcerts
pelliton=$repo/build/pelliton
testserver=$repo/build/pelliton-testserver
testcerts=$repo/build/pelliton-testcerts

demo=$(mktemp -d /tmp/pelliton-demo.XXXXXX)
server_pid=
cleanup() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  if [ "${PELLITON_DEMO_KEEP:-0}" = 1 ]; then
    echo "The demo's files are kept in $demo"
  else
    rm -rf "$demo"
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

show() {  # show TITLE FILE
  printf '\n==> %s (%s)\n' "$1" "$2"
  if [ -s "$2" ]; then cat "$2"; else echo "(empty)"; fi
}

# The certificate names localhost and 127.0.0.1; pelliton trusts it through
# the server file's cafile, never without checking it.
"$testcerts" "$demo/certs" >/dev/null
"$testserver" --spool tests/data/spool --port-file "$demo/port" \
  --tls implicit --cert "$demo/certs/server-chain.pem" --key "$demo/certs/server-key.pem" \
  >"$demo/server.out" 2>&1 &
server_pid=$!
for ((i = 0; i < 100; i++)); do
  [ -s "$demo/port" ] && break
  kill -0 "$server_pid" 2>/dev/null || { cat "$demo/server.out" >&2; exit 1; }
  sleep 0.1
done
[ -s "$demo/port" ] || { echo "demo: the test server did not start" >&2; exit 1; }
port=$(cat "$demo/port")

cat > "$demo/servers" <<EOF
# The server file: the name "demo" stands for the test news server, which
# speaks TLS from the first byte with a certificate of its own authority.
[demo]
host    localhost
port    $port
tls     yes
cafile  $demo/certs/ca.pem
config  $demo/pellitonrc
newsrc  $demo/newsrc
timeout 30
EOF

cat > "$demo/pellitonrc" <<EOF
# General condition for every newsgroup: nothing from a spammer.
*:
* !^From:.*spammer

# Announcements that are not replies go into a mailbox ...
pelliton.test.announce:
* !^Subject: *Re:
$demo/announce.mbox

# ... and the replies into a command, which notes who wrote what.
pelliton.test.announce:
* ^Subject: *Re:
| grep -E '^(From|Subject):' >> $demo/replies.txt

# Every article of this newsgroup into a mailbox: dots and "From " lines
# in the bodies come out right.
pelliton.test.tricky:
$demo/tricky.mbox

# Only the articles that carry one header line, into a Maildir (a path
# that ends in "/"), which pelliton makes with its tmp/, new/ and cur/.
pelliton.test.misc:
* ^X-Filter-Me: yes
$demo/misc/
EOF

cat > "$demo/newsrc" <<'EOF'
pelliton.test.announce: 1-1
EOF

cd "$demo"
echo
echo "A news server with sample newsgroups listens on 127.0.0.1:$port (TLS)."
show "The server file" "$demo/servers"
show "The filter file" "$demo/pellitonrc"
show "The newsrc before the first run: article 1 of the announcements counts as read" "$demo/newsrc"

printf '\n==> The first run: pelliton -v -n 4 -f %s demo\n' "$demo/servers"
status=0
"$pelliton" -v -n 4 -f "$demo/servers" demo || status=$?
echo "(exit status $status)"

show "The announcements that are not replies" "$demo/announce.mbox"
show "The awkward articles, shaped as mail" "$demo/tricky.mbox"
for message in "$demo"/misc/new/*; do
  show "The one article with the X-Filter-Me header, in the Maildir" "$message"
done
show "What the pipe action's command wrote" "$demo/replies.txt"
show "The newsrc after the first run" "$demo/newsrc"

cat announce.mbox tricky.mbox misc/new/* replies.txt newsrc > "$demo/before" 2>/dev/null || true
printf '\n==> The second run: pelliton -v -n 4 -f %s demo\n' "$demo/servers"
status=0
"$pelliton" -v -n 4 -f "$demo/servers" demo || status=$?
echo "(exit status $status)"
cat announce.mbox tricky.mbox misc/new/* replies.txt newsrc > "$demo/after" 2>/dev/null || true
if cmp -s "$demo/before" "$demo/after"; then
  printf '\nThe second run fetched nothing new: the mailboxes, the Maildir, the\ncommand'"'"'s output and the newsrc are unchanged.\n'
else
  printf '\nThe second run changed the files:\n'
  diff "$demo/before" "$demo/after" || true
fi
