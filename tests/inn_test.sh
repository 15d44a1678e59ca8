#!/usr/bin/env bash
# pelliton against a real news server: INN, started privately on 127.0.0.1.
#
#   bash tests/inn_test.sh <pelliton binary> [<binary directory>]
#
# Installs INN (Debian package inn2) when it is missing and this runs as
# root (tests/inn/install.sh says what that changes); exits 77 (skipped),
# saying why, when this does not run as root (INN runs as the news user),
# or when INN is missing and this is no Debian system.  An install that
# fails as root fails the test.
# Posts articles with awkward bodies through NNTP POST, reads back with its
# own small NNTP client what the server serves, runs pelliton (-l, -C, -c,
# fetching with -n 1, -n 4 and -n 16, AUTHINFO against a second server that
# requires it), and compares every mailbox, every Maildir, every pipe's
# output and every newsrc byte for byte with what they must hold.  With the
# openssl command at hand, INN's readers also speak TLS (STARTTLS on the
# main port, TLS from the first byte on a third): pelliton fetches over
# both, byte for byte as in plain text, and refuses the server when told
# to trust another CA.  With "compress yes" pelliton fetches with COMPRESS
# DEFLATE, in plain text, from the overview and over TLS, byte for byte as
# without, through a relay that counts the bytes that cross the wire both
# ways; the figures are printed.  Set PELLITON_KEEP=1 to keep the work
# directory.
set -u

pelliton=${1:?usage: inn_test.sh <pelliton binary> [<binary directory>]}
pelliton=$(realpath "$pelliton")
here=$(cd "$(dirname "$0")" && pwd)

skip() {
  echo "SKIPPED: $*"
  exit 77
}

[ -x "$pelliton" ] || { echo "no pelliton binary at $pelliton" >&2; exit 2; }
[ "$(id -u)" = 0 ] || skip "running INN needs root (its daemons run as the news user)"
reason=$(bash "$here/inn/install.sh")
case $? in
  0) ;;
  77) skip "${reason:-INN is not installed}" ;;
  *)
    # As root a failed install is a failure, not a reason to skip.
    echo "FAIL: ${reason:-installing INN failed}"
    exit 1
    ;;
esac
for tool in runuser perl sed cmp diff python3 awk; do
  command -v "$tool" >/dev/null || skip "$tool is missing"
done

# shellcheck source=inn/server.sh
source "$here/inn/server.sh"
# shellcheck source=inn/nntp.sh
source "$here/inn/nntp.sh"

work=$(mktemp -d /tmp/pelliton-inn.XXXXXX)
relay_pid=
relay_stop() {
  if [ -n "$relay_pid" ]; then
    kill "$relay_pid" 2>/dev/null
    wait "$relay_pid" 2>/dev/null
    relay_pid=
  fi
}
cleanup() {
  relay_stop
  nntp_close
  inn_stop
  if [ "${PELLITON_KEEP:-0}" = 1 ]; then
    echo "work directory kept: $work"
  else
    rm -rf "$work"
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
started=$EPOCHREALTIME
note() {  # a phase, with the seconds since the start
  printf -- '--- %5.1fs %s\n' "$(awk -v a="$EPOCHREALTIME" -v b="$started" 'BEGIN { print a - b }')" "$*"
}

port=$(inn_free_port) || skip "no free TCP port on 127.0.0.1"
authport=$(inn_free_port "$port") || skip "no free TCP port on 127.0.0.1"
tlsport=
if command -v openssl >/dev/null; then
  tlsport=$(inn_free_port "$port" "$authport") || skip "no free TCP port on 127.0.0.1"
fi
note "starting INN on 127.0.0.1:$port (AUTHINFO required on :$authport${tlsport:+, TLS on :$tlsport})"
inn_start "$work/inn" "$port" "$authport" "$tlsport"
case $? in
  0) ;;
  2) echo "note: no standalone nnrpd; the AUTHINFO checks are left out" ;;
  3) fail "INN's readers did not come up with TLS" ;;
  *) echo "FAIL: INN did not start"; exit 1 ;;
esac
[ -n "$tlsport" ] || echo "note: no openssl command; the TLS checks are left out"

# ---------------------------------------------------------------------------
# Articles.  Every posted body is kept, so that the expected mailbox can be
# built from what was posted (and the header from what the server serves).

tricky=pelliton.test.tricky
bulk=pelliton.test.bulk
empty=pelliton.test.empty
missing=pelliton.test.missing   # named in the filters, unknown to INN

for g in $tricky $bulk $empty; do
  inn_newgroup "$g" >/dev/null || { echo "FAIL: ctlinnd newgroup $g"; exit 1; }
done

mkdir -p "$work/posted" "$work/served"
declare -A posted_count=()

# post GROUP SUBJECT < body
post() {
  local group=$1 subject=$2 n file
  n=$((${posted_count[$group]:-0} + 1))
  file=$work/posted/$group.$n
  cat > "$file.body"
  {
    printf 'From: Poster %s <poster@pelliton.test>\n' "$n"
    printf 'Newsgroups: %s\n' "$group"
    printf 'Subject: %s\n' "$subject"
    printf 'Message-ID: <%s.%s.%s@pelliton.test>\n' "$n" "$group" "$$"
    printf '\n'
    cat "$file.body"
  } > "$file.article"
  nntp_post "$file.article" || { echo "FAIL: posting $group $n: $NNTP_LINE"; exit 1; }
  posted_count[$group]=$n
}

long_line() {  # long_line PREFIX LENGTH
  local s=$1
  while [ ${#s} -lt "$2" ]; do s+="0123456789abcdefghijklmnopqrstuvwxyz"; done
  printf '%s\n' "${s:0:$2}"
}

post_tricky_batch_1() {
  post $tricky "dots and From lines" <<'EOF'
.leading dot
..
...
.
From the start of a line
.From with a dot before it
From
from lower case
>From already quoted
From: a header-like line
Fromage
EOF
  post $tricky "empty lines, pipe" <<'EOF'

after an empty first line


   indented after two empty lines
	a tab
the next line is empty and ends the body

EOF
  post $tricky "long lines" < <(
    long_line "long " 5000
    long_line ".dotted long " 3000
    echo "short"
    long_line "From long " 4095
  )
  post $tricky "$(long_line "a long subject, pipe: " 900)" <<'EOF'
one line
EOF
}

post_tricky_batch_2() {
  post $tricky "later, pipe" <<'EOF'
From here on
.
the end

EOF
  post $tricky "later, long From line" < <(long_line "From " 8000; printf '\n\n')
}

# The bulk articles: "keep" every third, "drop" every seventh, "spam" one.
post_bulk() {  # post_bulk FROM TO
  local i subject
  for ((i = $1; i <= $2; i++)); do
    subject=$(printf 'article %03d' "$i")
    ((i % 3 == 0)) && subject+=" keep"
    ((i % 7 == 0)) && subject+=" drop"
    ((i == 30)) && subject+=" SPAM"
    post $bulk "$subject" < <(printf 'Body of bulk article %d.\nFrom a poster.\n' "$i")
  done
}

nntp_connect "$port" || { echo "FAIL: cannot connect to INN: $NNTP_LINE"; exit 1; }
post_tricky_batch_1
post_bulk 1 60

# The header of every article as the server serves it, by article number.
fetch_headers() {
  local g n
  for g in $tricky $bulk; do
    nntp_command "GROUP $g"
    for ((n = 1; n <= ${posted_count[$g]:-0}; n++)); do
      [ -f "$work/served/$g.$n.head" ] && continue
      nntp_command "HEAD $n"
      [ "$NNTP_CODE" = 221 ] || { echo "FAIL: HEAD $n in $g: $NNTP_LINE"; exit 1; }
      nntp_text "$work/served/$g.$n.head"
    done
  done
}
fetch_headers

# ---------------------------------------------------------------------------
# Expectations.

# Which action takes which article; mirrors the filter file below.
wants() {  # wants ACTION GROUP N -> status 0 when the action takes it
  local subject
  subject=$(sed -n 's/^Subject: //p' "$work/posted/$2.$3.article")
  case $1 in
    tricky-box) return 0 ;;
    tricky-pipe) [[ $subject == *pipe* ]] ;;
    bulk-box) [[ $subject == *keep* && $subject != *drop* && $subject != *SPAM* ]] ;;
    bulk-pipe) [[ $subject == "article 04"* && $subject != *SPAM* ]] ;;
  esac
}

# One delivered message with its separator line's date replaced by DATE.
expected_message() {  # GROUP N
  printf 'From pelliton DATE\n'
  cat "$work/served/$1.$2.head"
  printf '\n'
  sed 's/^From />&/' "$work/posted/$1.$2.body"
  printf '\n'
}

expected_file() {  # ACTION GROUP FIRST LAST
  local n
  for ((n = $3; n <= $4; n++)); do
    wants "$1" "$2" "$n" && expected_message "$2" "$n"
  done
}

# A mailbox with every separator line's date replaced by DATE; a separator
# whose date is not in the form of ctime(3) stays as it is and so differs.
normalized() {
  sed -E 's/^From pelliton (Mon|Tue|Wed|Thu|Fri|Sat|Sun) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}$/From pelliton DATE/' "$1"
}

check_file() {  # check_file WHAT ACTUAL EXPECTED-FILE
  if [ ! -f "$2" ]; then
    if [ -s "$3" ]; then fail "$1: $2 was not written"; fi
    return
  fi
  if ! cmp -s <(normalized "$2") "$3"; then
    fail "$1: $2 differs from what was posted (expected < > actual):"
    diff <(cut -c1-160 "$3") <(normalized "$2" | cut -c1-160) | head -20
  fi
}

check_text() {  # check_text WHAT ACTUAL-TEXT EXPECTED-TEXT
  if [ "$2" != "$3" ]; then
    fail "$1"
    diff <(printf '%s\n' "$3") <(printf '%s\n' "$2") | head -20
  fi
}

# ---------------------------------------------------------------------------
# pelliton's files.

setup_run() {  # setup_run DIR [PORT [AUTH-LINES]]
  local d=$1
  mkdir -p "$d"
  {
    printf '# the INN instance of the test\n[inn]\n'
    printf 'host 127.0.0.1\nport %s\n' "${2:-$port}"
    printf 'config %s/filters\nnewsrc %s/newsrc\n' "$d" "$d"
    printf 'timeout 60\n'
    [ -n "${3:-}" ] && printf '%s\n' "$3"
  } > "$d/servers"
  chmod 600 "$d/servers"
  cat > "$d/filters" <<EOF
# General conditions for every test newsgroup, and two more for the bulk.
pelliton.test.*:
* !^Subject:.*spam
*bulk:
* ^From:.*@pelliton\.test
* !^Newsgroups:.*,

$tricky:
$d/tricky.mbox
$tricky:
$d/maildir/
$tricky:
* ^Subject:.*pipe
| cat >> $d/tricky.pipe

$missing:
$d/missing.mbox

$bulk:
* ^Subject:.*keep
* !^Subject:.*drop
$d/bulk.mbox
$bulk:
* ^Subject: article 04
| cat >> $d/bulk.pipe

$empty:
$d/empty.mbox
EOF
}

run_pelliton() {  # run_pelliton DIR ARGS... ; sets status, out, err
  local d=$1
  shift
  (cd "$d" && "$pelliton" -f "$d/servers" "$@" inn >"$d/stdout" 2>"$d/stderr")
  status=$?
  out=$(cat "$d/stdout")
  err=$(cat "$d/stderr")
}

check_mailboxes() {  # check_mailboxes WHAT DIR
  local t=$work/expected
  mkdir -p "$t"
  expected_file tricky-box $tricky 1 "${posted_count[$tricky]}" > "$t/tricky.mbox"
  expected_file tricky-pipe $tricky 1 "${posted_count[$tricky]}" > "$t/tricky.pipe"
  expected_file bulk-box $bulk 1 "${posted_count[$bulk]}" > "$t/bulk.mbox"
  expected_file bulk-pipe $bulk 1 "${posted_count[$bulk]}" > "$t/bulk.pipe"
  for f in tricky.mbox tricky.pipe bulk.mbox bulk.pipe; do
    check_file "$1" "$2/$f" "$t/$f"
  done
  check_maildir "$1" "$2/maildir" "$tricky" "${posted_count[$tricky]}"
  for f in empty.mbox missing.mbox; do
    [ -e "$2/$f" ] && fail "$1: $2/$f was written"
  done
  [ -z "$(find "$2" -name '*.lock*' ! -name newsrc.lock)" ] || fail "$1: a lock file was left behind"
}

# A Maildir holds one file in new/ for every article of the newsgroup: the
# header as the server serves it, an empty line and the body as posted.
check_maildir() {  # check_maildir WHAT MAILDIR GROUP LAST
  local read=$work/maildir-read n file count
  rm -rf "$read"
  mkdir -p "$read"
  if ! count=$(python3 "$here/maildir_read.py" "$2" "$read"); then
    fail "$1: $2 cannot be read as a Maildir"
    return
  fi
  [ "$count" = "$4" ] || fail "$1: $2 holds $count messages, not $4"
  for ((n = 1; n <= $4; n++)); do
    file=$read/$n.$3.$$@pelliton.test
    if [ ! -f "$file" ]; then
      fail "$1: article $n of $3 is not in $2"
      continue
    fi
    cmp -s "$file" <(cat "$work/served/$3.$n.head"; printf '\n'; cat "$work/posted/$3.$n.body") ||
      fail "$1: article $n of $3 differs in $2"
  done
}

newsrc_after_fetch() {
  printf '%s\n' "$tricky: 1-${posted_count[$tricky]}" "$missing: 1-0" \
    "$bulk: 1-${posted_count[$bulk]}" "$empty: 1-0"
}

missing_message="pelliton: $missing: newsgroup does not exist"

# ---------------------------------------------------------------------------
if [ -n "$INN_TLS_PORT" ]; then
  note "TLS: STARTTLS on :$port and TLS on :$INN_TLS_PORT give verified sessions"
  inn_tls_check "$port" starttls || fail "STARTTLS on :$port: no verified TLS session"
  inn_tls_check "$INN_TLS_PORT" || fail "TLS on :$INN_TLS_PORT: no verified TLS session"
  # The check itself must be able to fail: INN's certificate does not
  # verify against a CA of another instance.
  mkdir -p "$work/other-ca"
  if inn_make_certs "$work/other-ca"; then
    INN_TLS_CA=$work/other-ca/ca.pem inn_tls_check "$INN_TLS_PORT" &&
      fail "TLS on :$INN_TLS_PORT verified against an unrelated CA"
  else
    fail "making an unrelated CA failed"
  fi
fi

note "-l lists what LIST gives"
nntp_command LIST
nntp_text "$work/list"
setup_run "$work/list-run"
run_pelliton "$work/list-run" -l
[ "$status" = 0 ] || fail "-l: exit status $status ($err)"
check_text "-l: the listing differs from LIST" "$out" "$(cat "$work/list")"
check_text "-l: standard error" "$err" ""

for n in 1 16; do
  d=$work/fetch-n$n
  note "fetching with -n $n"
  setup_run "$d"
  run_pelliton "$d" -n "$n"
  [ "$status" = 0 ] || fail "-n $n: exit status $status"
  check_text "-n $n: standard error" "$err" "$missing_message"
  check_mailboxes "-n $n" "$d"
  check_text "-n $n: newsrc" "$(cat "$d/newsrc")" "$(newsrc_after_fetch)"
done

# The mailboxes and pipes of a fetch against those of another, each
# message's date aside.
check_same_delivery() {  # check_same_delivery WHAT DIR REFERENCE-DIR REFERENCE-NAME
  local f
  for f in tricky.mbox bulk.mbox tricky.pipe bulk.pipe; do
    cmp -s <(normalized "$2/$f") <(normalized "$3/$f") || fail "$1: $f differs from $4"
  done
}

# With "overview yes" the tricky newsgroup (conditions on Subject alone)
# is decided from INN's overview and fetched with ARTICLE; the bulk one
# names Newsgroups, which INN's overview lacks, and is read with HEAD and
# BODY.  Everything that lands is what the plain fetch delivered.
check_overview_run() {  # check_overview_run WHAT DIR REFERENCE-DIR
  check_mailboxes "$1" "$2"
  check_text "$1: newsrc" "$(cat "$2/newsrc")" "$(newsrc_after_fetch)"
  grep -q '^The server gives its overview with OVER: Subject: From: ' "$2/stderr" ||
    fail "$1: no verbose line for INN's overview"
  grep -q "^Reading from the overview with OVER" "$2/stderr" ||
    fail "$1: the tricky newsgroup was not read from the overview"
  grep -q "^Reading with HEAD and BODY: a condition names a header the overview lacks" \
    "$2/stderr" || fail "$1: the bulk newsgroup was not read with HEAD"
  check_same_delivery "$1" "$2" "$3" "the fetch with HEAD and BODY"
}

for n in 1 16; do
  d=$work/overview-n$n
  note "fetching from the overview with -n $n"
  setup_run "$d" "$port" "overview yes"
  run_pelliton "$d" -v -n "$n"
  [ "$status" = 0 ] || fail "overview, -n $n: exit status $status"
  check_text "overview, -n $n: standard error, but for the verbose lines" \
    "$(grep '^pelliton: ' "$d/stderr")" "$missing_message"
  check_overview_run "overview, -n $n" "$d" "$work/fetch-n$n"
done

note "a newsgroup without conditions is taken whole with ARTICLE"
d=$work/overview-whole
setup_run "$d" "$port" "overview yes"
printf '%s:\n%s/tricky.mbox\n' "$tricky" "$d" > "$d/filters"
run_pelliton "$d" -v -n 4
[ "$status" = 0 ] || fail "ARTICLE alone: exit status $status"
grep -q "^Reading with ARTICLE: no condition applies" "$d/stderr" ||
  fail "ARTICLE alone: the newsgroup was not read with ARTICLE"
mkdir -p "$work/expected"
expected_file tricky-box $tricky 1 "${posted_count[$tricky]}" > "$work/expected/whole.mbox"
check_file "ARTICLE alone" "$d/tricky.mbox" "$work/expected/whole.mbox"
check_text "ARTICLE alone: newsrc" "$(cat "$d/newsrc")" "$tricky: 1-${posted_count[$tricky]}"

if [ -n "$INN_TLS_PORT" ]; then
  # TLS from the first byte by name, STARTTLS by address: the certificate
  # names both.  What lands must equal the plain fetch byte for byte.
  for mode in yes starttls; do
    d=$work/fetch-tls-$mode
    if [ $mode = yes ]; then
      tls_port=$INN_TLS_PORT tls_host=localhost
    else
      tls_port=$port tls_host=127.0.0.1
    fi
    note "fetching over TLS (tls $mode, $tls_host:$tls_port)"
    setup_run "$d" "$tls_port" "$(printf 'host %s\ntls %s\ncafile %s' "$tls_host" $mode "$INN_TLS_CA")"
    run_pelliton "$d" -v -n 16
    [ "$status" = 0 ] || fail "tls $mode: exit status $status"
    grep -Eq "^TLS established: TLSv1\.[23], [A-Za-z0-9_-]+, verified $tls_host\$" "$d/stderr" ||
      fail "tls $mode: no verbose line for a verified session"
    check_text "tls $mode: standard error, but for the verbose lines" \
      "$(grep '^pelliton: ' "$d/stderr")" "$missing_message"
    check_mailboxes "tls $mode" "$d"
    check_text "tls $mode: newsrc" "$(cat "$d/newsrc")" "$(newsrc_after_fetch)"
    check_same_delivery "tls $mode" "$d" "$work/fetch-n16" "the plain fetch"

    d=$work/overview-tls-$mode
    note "fetching from the overview over TLS (tls $mode)"
    setup_run "$d" "$tls_port" \
      "$(printf 'host %s\ntls %s\ncafile %s\noverview yes' "$tls_host" $mode "$INN_TLS_CA")"
    run_pelliton "$d" -v -n 16
    [ "$status" = 0 ] || fail "overview, tls $mode: exit status $status"
    check_overview_run "overview, tls $mode" "$d" "$work/fetch-n16"
  done

  note "TLS: a server whose certificate another CA signed is refused"
  for mode in yes starttls; do
    d=$work/refuse-tls-$mode
    [ $mode = yes ] && tls_port=$INN_TLS_PORT || tls_port=$port
    setup_run "$d" "$tls_port" \
      "$(printf 'tls %s\ncafile %s\nuser reader\npass %s' $mode "$work/other-ca/ca.pem" "$INN_AUTH_PASSWORD")"
    run_pelliton "$d"
    [ "$status" = 1 ] || fail "untrusted, tls $mode: exit status $status"
    [[ $err == "pelliton: TLS handshake with 127.0.0.1 failed -- "* ]] ||
      fail "untrusted, tls $mode: expected the failed handshake, got: $err"
    [ -e "$d/newsrc" ] && fail "untrusted, tls $mode: the newsrc was written"
    [ -e "$d/tricky.mbox" ] && fail "untrusted, tls $mode: articles were delivered"
  done
fi

# ---------------------------------------------------------------------------
# Compression.  Each run goes through a relay on loopback that counts the
# bytes of its one connection both ways.

relay_start() {  # relay_start TARGET-PORT COUNTS-FILE; sets relay_port
  relay_port=$(inn_free_port "$port" "$authport" ${tlsport:+"$tlsport"}) || return 1
  : > "$work/relay.out"
  python3 "$here/inn/relay.py" "$relay_port" "$1" "$2" > "$work/relay.out" 2>&1 &
  relay_pid=$!
  local i
  for ((i = 0; i < 100; i++)); do
    grep -q '^ready$' "$work/relay.out" && return 0
    kill -0 "$relay_pid" 2>/dev/null || break
    sleep 0.05
  done
  cat "$work/relay.out" >&2
  return 1
}

# The counts of the one connection, once both sides have closed it.
relay_counts() {  # relay_counts COUNTS-FILE; sets wire_counts "FROM-SERVER TO-SERVER"
  local i
  wire_counts=
  for ((i = 0; i < 100; i++)); do
    [ -s "$1" ] && break
    sleep 0.05
  done
  relay_stop
  [ "$(wc -l < "$1" 2>/dev/null)" = 1 ] && wire_counts=$(cat "$1")
}

# One fetch through the relay, checked like every fetch and against the
# files of REFERENCE-DIR; sets wire_counts.
wire_run() {  # wire_run WHAT DIR REFERENCE-DIR TARGET-PORT SERVER-LINES ARGS...
  local what=$1 d=$2 ref=$3 target=$4 lines=$5
  shift 5
  wire_counts=
  relay_start "$target" "$d.counts" || { fail "$what: the counting relay did not start"; return 1; }
  setup_run "$d" "$relay_port" "$lines"
  local t0=$EPOCHREALTIME
  run_pelliton "$d" -v "$@"
  printf '    %s: %.2f s\n' "$what" "$(awk -v a="$EPOCHREALTIME" -v b="$t0" 'BEGIN { print a - b }')"
  [ "$status" = 0 ] || fail "$what: exit status $status"
  check_text "$what: standard error, but for the verbose lines" \
    "$(grep '^pelliton: ' "$d/stderr")" "$missing_message"
  if [[ $lines == *"compress yes"* ]]; then
    grep -qx "Compression established: DEFLATE" "$d/stderr" || fail "$what: compression not established"
  else
    grep -q "Compression" "$d/stderr" && fail "$what: compression without compress yes"
  fi
  check_mailboxes "$what" "$d"
  check_text "$what: newsrc" "$(cat "$d/newsrc")" "$(newsrc_after_fetch)"
  check_same_delivery "$what" "$d" "$ref" "the fetch without the relay and compression"
  relay_counts "$d.counts"
  [ -n "$wire_counts" ] || fail "$what: the relay counted no single connection"
}

# Compares what crossed the wire with and without compression.
wire_figures() {  # wire_figures WHAT "PLAIN-COUNTS" "COMPRESSED-COUNTS"
  local plain_down plain_up z_down z_up
  read -r plain_down plain_up <<< "$2"
  read -r z_down z_up <<< "$3"
  if [ -z "${plain_down:-}" ] || [ -z "${z_down:-}" ]; then
    fail "$1: no byte counts"
    return
  fi
  awk -v w="$1" -v pd="$plain_down" -v pu="$plain_up" -v zd="$z_down" -v zu="$z_up" 'BEGIN {
    printf "    %s: from the server %d bytes uncompressed, %d compressed (%.3f); to the server %d, %d (%.3f)\n",
      w, pd, zd, zd / pd, pu, zu, zu / pu }'
  # INN compresses at level 9; headers and text shrink to well under half.
  [ $((z_down * 2)) -lt "$plain_down" ] || fail "$1: compression saved less than half of the bytes from the server"
}

for n in 1 16; do
  note "compression with -n $n: byte for byte as without, the bytes on the wire counted"
  wire_run "uncompressed, -n $n" "$work/wire-plain-n$n" "$work/fetch-n$n" "$port" "" -n "$n"
  plain_counts=$wire_counts
  wire_run "compressed, -n $n" "$work/wire-compress-n$n" "$work/fetch-n$n" "$port" \
    "compress yes" -n "$n"
  wire_figures "-n $n" "$plain_counts" "$wire_counts"
done

note "compression with the overview, -n 16"
d=$work/overview-compress
setup_run "$d" "$port" "$(printf 'overview yes\ncompress yes')"
run_pelliton "$d" -v -n 16
[ "$status" = 0 ] || fail "overview and compression: exit status $status"
grep -qx "Compression established: DEFLATE" "$d/stderr" || fail "overview and compression: not compressed"
check_overview_run "overview and compression" "$d" "$work/fetch-n16"

if [ -n "$INN_TLS_PORT" ]; then
  note "compression over TLS, -n 16"
  tls_lines=$(printf 'tls yes\ncafile %s' "$INN_TLS_CA")
  wire_run "TLS, uncompressed" "$work/wire-tls-plain" "$work/fetch-n16" \
    "$INN_TLS_PORT" "$tls_lines" -n 16
  plain_counts=$wire_counts
  wire_run "TLS, compressed" "$work/wire-tls-compress" "$work/fetch-n16" \
    "$INN_TLS_PORT" "$(printf '%s\ncompress yes' "$tls_lines")" -n 16
  wire_figures "TLS, -n 16" "$plain_counts" "$wire_counts"
fi

d=$work/fetch-n1
note "a second run finds nothing new"
cp -p "$d/tricky.mbox" "$d/bulk.mbox" "$d/tricky.pipe" "$d/bulk.pipe" "$d/newsrc" "$work/"
run_pelliton "$d" -n 4
[ "$status" = 0 ] || fail "second run: exit status $status"
for f in tricky.mbox bulk.mbox tricky.pipe bulk.pipe newsrc; do
  cmp -s "$d/$f" "$work/$f" || fail "second run: $f changed"
done

note "new articles: the next run appends exactly them"
post_tricky_batch_2
post_bulk 61 75
fetch_headers
run_pelliton "$d" -n 4
[ "$status" = 0 ] || fail "third run: exit status $status"
check_text "third run: standard error" "$err" "$missing_message"
check_mailboxes "third run" "$d"
check_text "third run: newsrc" "$(cat "$d/newsrc")" "$(newsrc_after_fetch)"

note "-C marks every newsgroup with actions"
d=$work/mark-all
setup_run "$d"
run_pelliton "$d" -C
[ "$status" = 0 ] || fail "-C: exit status $status"
[[ $err == "pelliton: bad NNTP server response -- 411 "* ]] ||
  fail "-C: expected the missing newsgroup's 411 on standard error, got: $err"
check_text "-C: newsrc" "$(cat "$d/newsrc")" "$(newsrc_after_fetch)"
run_pelliton "$d"
[ "$status" = 0 ] || fail "fetch after -C: exit status $status"
[ -z "$(ls "$d" | grep -E '\.(mbox|pipe)$')" ] || fail "fetch after -C delivered articles"
post $bulk "article 076 keep" < <(printf 'Posted after marking.\n')
fetch_headers
run_pelliton "$d"
expected_message $bulk 76 > "$work/expected/one.mbox"
check_file "fetch after -C and a new article" "$d/bulk.mbox" "$work/expected/one.mbox"

note "-c marks only the newsgroups named"
d=$work/mark-some
setup_run "$d"
run_pelliton "$d" -c $bulk -c pelliton.test.nosuch
[ "$status" = 0 ] || fail "-c: exit status $status"
check_text "-c: standard error" "$err" \
  "pelliton: group pelliton.test.nosuch not defined in filters; skipping..."
check_text "-c: newsrc" "$(cat "$d/newsrc")" \
  "$(printf '%s\n' "$tricky: 1-0" "$missing: 1-0" "$bulk: 1-${posted_count[$bulk]}" "$empty: 1-0")"
run_pelliton "$d" -n 16
expected_file tricky-box $tricky 1 "${posted_count[$tricky]}" > "$work/expected/tricky.mbox"
check_file "fetch after -c" "$d/tricky.mbox" "$work/expected/tricky.mbox"
[ -e "$d/bulk.mbox" ] && fail "fetch after -c: the marked newsgroup was fetched"

if [ -n "$INN_AUTH_PORT" ]; then
  note "AUTHINFO against a server that requires it"
  d=$work/auth
  setup_run "$d" "$authport" "$(printf 'user reader\npass %s' "$INN_AUTH_PASSWORD")"
  run_pelliton "$d" -v -n 16
  [ "$status" = 0 ] || fail "AUTHINFO: exit status $status"
  check_mailboxes "AUTHINFO" "$d"
  check_text "AUTHINFO: newsrc" "$(cat "$d/newsrc")" "$(newsrc_after_fetch)"
  [[ $err == *"$INN_AUTH_PASSWORD"* ]] && fail "AUTHINFO: the password shows in the verbose output"
  grep -q "^$missing_message\$" "$d/stderr" || fail "AUTHINFO: $missing_message missing"

  d=$work/auth-wrong
  setup_run "$d" "$authport" "$(printf 'user reader\npass not-%s' "$INN_AUTH_PASSWORD")"
  run_pelliton "$d"
  [ "$status" = 1 ] || fail "wrong password: exit status $status"
  [[ $err == "pelliton: bad NNTP server response -- 481 "* ]] ||
    fail "wrong password: expected the 481 answer on standard error, got: $err"
  [ -e "$d/newsrc" ] && fail "wrong password: the newsrc was written"

  # Every newsgroup refused (480) is left unread: the walk goes on, and the
  # run did not do its work.
  d=$work/auth-none
  setup_run "$d" "$authport"
  run_pelliton "$d"
  [ "$status" = 1 ] || fail "no credentials: exit status $status"
  [[ $err == *"pelliton: bad NNTP server response -- 480 "* ]] ||
    fail "no credentials: expected the 480 answer on standard error, got: $err"
  [ -e "$d/tricky.mbox" ] && fail "no credentials: articles were delivered"
fi

nntp_close
if [ "$failures" != 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all checks passed"
exit 0
