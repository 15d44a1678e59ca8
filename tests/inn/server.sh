# Runs a private INN news server on 127.0.0.1 for the tests and benchmarks.
# Source this file from bash; it defines functions and touches nothing
# until they are called.
#
# The instance lives entirely in one directory (configuration, databases,
# spool, logs, control socket), found by every INN program through the
# INNCONF environment variable, so the machine's own /etc/news and spool
# stay untouched and every instance starts with an empty spool: article
# numbers begin at 1 in each newsgroup.
#
#   inn_start DIR PORT [AUTHPORT [TLSPORT]]
#       configures an instance in DIR (created, must be absent or empty),
#       starts innd on 127.0.0.1:PORT and, with AUTHPORT, a standalone
#       nnrpd on 127.0.0.1:AUTHPORT that asks for AUTHINFO (user
#       "reader", password in $INN_AUTH_PASSWORD).  With TLSPORT (AUTHPORT
#       may then be empty) the readers speak TLS: STARTTLS on PORT, and a
#       standalone nnrpd with TLS from the first byte on 127.0.0.1:TLSPORT,
#       both with a certificate for localhost and 127.0.0.1 from a CA made
#       for the instance, whose certificate is $INN_TLS_CA.  Both are
#       checked with a verified handshake before inn_start returns.
#       Returns 0 when everything asked for runs; 1, with a message on
#       stderr, when innd does not come up; 2 when the AUTHINFO reader
#       does not (INN_AUTH_PORT is then empty); 3 when TLS does not
#       (INN_TLS_PORT and INN_TLS_CA are then empty).
#   inn_stop
#       stops what inn_start started; safe to call at any time, twice.
#   inn_newgroup NAME
#   inn_free_port [EXCEPT...]
#       prints a TCP port on 127.0.0.1 that nothing listens on.
#   inn_tls_check PORT [starttls]
#       succeeds when the reader on 127.0.0.1:PORT completes a TLS
#       handshake (after STARTTLS with "starttls") whose certificate
#       verifies against $INN_TLS_CA for localhost and 127.0.0.1, and
#       answers QUIT inside the session.

INN_BIN=/usr/lib/news/bin
INN_DIR=
INN_PORT=
INN_AUTH_PORT=
INN_AUTH_PASSWORD=${INN_AUTH_PASSWORD:-open-sesame-42}
INN_AUTH_PID=
INN_PID=
INN_TLS_PORT=
INN_TLS_CA=
INN_TLS_PID=

# INN looks its host name up whenever it reads inn.conf, and nnrpd once
# more for every article posted.  A name that /etc/hosts does not know goes
# to a name server, which may answer after seconds, or never.  So every INN
# program of the instance runs in a UTS namespace of its own whose host
# name, inn.pelliton.test, is fully qualified and needs no look-up; the
# machine's own name and /etc/hosts stay as they are.  Where the kernel
# gives no namespace, the programs run under the machine's name.
INN_UTS=()
inn_uts_check() {
  INN_UTS=()
  if unshare --uts sh -c 'echo inn.pelliton.test > /proc/sys/kernel/hostname' 2>/dev/null; then
    INN_UTS=(unshare --uts sh -c 'echo inn.pelliton.test > /proc/sys/kernel/hostname && exec "$@"' sh)
  fi
}

inn_run() {  # runs an INN program as the news user, in the private instance
  "${INN_UTS[@]}" runuser -u news -- env INNCONF="$INN_DIR/etc/inn.conf" "$@"
}

inn_free_port() {
  local port tries except taken low=32768 high=60999 from to
  # Below (or above) the range the kernel picks ports from for the other
  # tests' servers and for every outgoing connection, so that none of them
  # can take the port between this look and the bind.
  read -r low high 2>/dev/null < /proc/sys/net/ipv4/ip_local_port_range || true
  if [ "$low" -gt 11024 ]; then
    from=10000 to=$((low - 1))
  else
    from=$((high + 1)) to=65535
  fi
  [ "$to" -ge "$from" ] || { from=20000 to=59999; }
  for ((tries = 0; tries < 200; tries++)); do
    port=$((from + RANDOM % (to - from + 1)))
    taken=
    for except in "$@"; do
      [ "$port" = "$except" ] && taken=1
    done
    [ -n "$taken" ] && continue
    if command -v ss >/dev/null && ss -Hltn "sport = :$port" 2>/dev/null | grep -q .; then
      continue
    fi
    # Nothing answers: the connection is refused.
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
      echo "$port"
      return 0
    fi
  done
  return 1
}

# Waits until a server on 127.0.0.1:$1 sends its greeting, as long as the
# process $2 runs; prints the greeting.
inn_wait_greeting() {
  local port=$1 pid=$2 tries line fd
  for ((tries = 0; tries < 150; tries++)); do
    inn_alive "$pid" || return 1
    if { exec {fd}<>"/dev/tcp/127.0.0.1/$port"; } 2>/dev/null; then
      line=
      IFS= read -r -t 10 line <&"$fd"
      (printf 'QUIT\r\n' >&"$fd") 2>/dev/null
      exec {fd}>&-
      case $line in
        200* | 201*)
          printf '%s\n' "${line%$'\r'}"
          return 0
          ;;
      esac
    fi
    sleep 0.2
  done
  return 1
}

inn_write_config() {
  local d=$INN_DIR
  mkdir -p "$d"/{etc,db,run,log,tmp,spool/articles,spool/overview,spool/incoming/bad,spool/outgoing,spool/archive}

  # Everything but the keys set below comes from the installed inn.conf.
  grep -Ev '^[[:space:]]*(path(db|etc|log|run|spool|articles|overview|incoming|outgoing|archive|tmp)|port|server|bindaddress6?|domain|pathhost|fromhost|artcutoff|nnrpdloadlimit|doinnwatch|initialtimeout|nnrpdflags|mailcmd|mta|status|timer|pgpverify|docancels|readerswhenstopped|logipaddr|tls[a-z0-9]*)[[:space:]]*:' \
    /etc/news/inn.conf > "$d/etc/inn.conf"
  cat >> "$d/etc/inn.conf" <<EOF
pathdb:                 $d/db
pathetc:                $d/etc
pathlog:                $d/log
pathrun:                $d/run
pathtmp:                $d/tmp
pathspool:              $d/spool
patharticles:           $d/spool/articles
pathoverview:           $d/spool/overview
pathincoming:           $d/spool/incoming
pathoutgoing:           $d/spool/outgoing
patharchive:            $d/spool/archive
server:                 127.0.0.1
bindaddress:            127.0.0.1
port:                   $INN_PORT
domain:                 pelliton.test
pathhost:               inn.pelliton.test
fromhost:               pelliton.test
artcutoff:              0
nnrpdloadlimit:         0
doinnwatch:             false
initialtimeout:         60
nnrpdflags:             "-n"
mailcmd:                /bin/true
mta:                    "/bin/true %s"
status:                 0
timer:                  0
pgpverify:              false
docancels:              none
readerswhenstopped:     false
logipaddr:              false
EOF
  if [ -n "$INN_TLS_PORT" ]; then
    inn_make_certs "$d/etc/tls" || return 1
    cat >> "$d/etc/inn.conf" <<EOF
tlscafile:              $d/etc/tls/ca.pem
tlscertfile:            $d/etc/tls/server.pem
tlskeyfile:             $d/etc/tls/server-key.pem
EOF
  fi
  for f in storage.conf expire.ctl control.ctl distrib.pats distributions \
    moderators subscriptions localgroups nnrpd.track passwd.nntp inn-secrets.conf; do
    [ -f "/etc/news/$f" ] && cp "/etc/news/$f" "$d/etc/"
  done
  # No feeding peers: innd hands every connection to nnrpd, in reader mode.
  printf 'streaming: true\nmax-connections: 8\n' > "$d/etc/incoming.conf"
  printf 'ME:!*/!local::\n' > "$d/etc/newsfeeds"
  cat > "$d/etc/readers.conf" <<'EOF'
auth "loopback" {
    hosts: "localhost, 127.0.0.1, ::1, stdin"
    default: "<loopback>"
}
access "loopback" {
    users: "<loopback>"
    newsgroups: "*"
    access: RPA
}
EOF
  # The standalone nnrpd on the second port reads and posts only after
  # AUTHINFO USER reader / PASS $INN_AUTH_PASSWORD.
  cat > "$d/etc/readers-auth.conf" <<EOF
auth "users" {
    hosts: "*"
    auth: "ckpasswd -f $d/etc/reader-passwords"
}
access "users" {
    users: "reader"
    newsgroups: "*"
    access: RP
}
EOF
  printf 'reader:%s\n' \
    "$(perl -e 'print crypt($ARGV[0], q($5$pellitonsalt$))' "$INN_AUTH_PASSWORD")" \
    > "$d/etc/reader-passwords"
  chmod 640 "$d/etc/reader-passwords"

  printf '%s\n' \
    'control 0000000000 0000000001 n' \
    'control.cancel 0000000000 0000000001 n' \
    'junk 0000000000 0000000001 n' > "$d/db/active"
  : > "$d/db/active.times"
  printf 'control\tVarious control messages.\njunk\tUnfiled articles.\n' > "$d/db/newsgroups"
  : > "$d/db/history"
  chown -R news:news "$d"
  chmod 755 "$d"
  # nnrpd refuses a key that others may read, or that news cannot.
  [ -n "$INN_TLS_PORT" ] && chmod 640 "$d/etc/tls/server-key.pem"
  inn_run "$INN_BIN/makedbz" -i -o -f "$d/db/history" >/dev/null 2>&1 || {
    echo "inn: makedbz failed" >&2
    return 1
  }
}

# A throwaway CA (ca.pem) and a certificate for localhost and 127.0.0.1
# signed by it (server.pem, server-key.pem) in directory $1, valid for a
# week.
inn_make_certs() {
  local d=$1 serial
  mkdir -p "$d" || return 1
  printf '%s\n' 'basicConstraints = critical, CA:FALSE' \
    'keyUsage = critical, digitalSignature' 'extendedKeyUsage = serverAuth' \
    'subjectAltName = DNS:localhost, IP:127.0.0.1' > "$d/server.ext"
  serial=0x$(openssl rand -hex 8) &&
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 7 \
      -subj '/O=pelliton tests/CN=pelliton INN test CA' \
      -addext 'basicConstraints = critical, CA:TRUE' \
      -addext 'keyUsage = critical, keyCertSign, cRLSign' \
      -keyout "$d/ca-key.pem" -out "$d/ca.pem" >"$d/openssl.out" 2>&1 &&
    openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes \
      -subj '/O=pelliton tests/CN=localhost' \
      -keyout "$d/server-key.pem" -out "$d/server.csr" >>"$d/openssl.out" 2>&1 &&
    openssl x509 -req -in "$d/server.csr" -CA "$d/ca.pem" -CAkey "$d/ca-key.pem" \
      -set_serial "$serial" -days 7 -extfile "$d/server.ext" -out "$d/server.pem" \
      >>"$d/openssl.out" 2>&1 || {
    echo "inn: making the TLS certificates failed:" >&2
    cat "$d/openssl.out" >&2
    return 1
  }
  rm -f "$d/server.csr" "$d/server.ext" "$d/openssl.out"
}

inn_tls_check() {
  local port=$1 out
  local args=(-connect "127.0.0.1:$port" -CAfile "$INN_TLS_CA" -verify_return_error
    -verify_hostname localhost -verify_ip 127.0.0.1 -ign_eof)
  [ "${2:-}" = starttls ] && args+=(-starttls nntp)
  # The server ends the session after QUIT, which ends s_client.
  out=$(printf 'QUIT\r\n' | timeout 20 openssl s_client "${args[@]}" 2>&1) || return 1
  grep -q '^Verify return code: 0 (ok)' <<<"$out" && grep -q '^205' <<<"$out"
}

# Waits until the TLS reader on 127.0.0.1:$1 passes inn_tls_check (with
# "starttls" in $3), as long as process $2 runs.
inn_wait_tls() {
  local tries
  for ((tries = 0; tries < 50; tries++)); do
    inn_alive "$2" || return 1
    inn_tls_check "$1" "${3:-}" && return 0
    sleep 0.2
  done
  return 1
}

inn_start() {
  INN_DIR=$1
  INN_PORT=$2
  INN_AUTH_PORT=${3:-}
  INN_TLS_PORT=${4:-}
  INN_TLS_CA=
  local p rc=0
  # The instance's parents must be searchable by the news user.
  p=$INN_DIR
  while p=$(dirname "$p") && [ "$p" != / ]; do
    chmod o+x "$p" 2>/dev/null || true
  done
  inn_uts_check
  inn_write_config || return 1
  unset INND_BIND_ADDRESS INND_BIND_ADDRESS6
  # In the foreground, as a child of this shell, so that it is reaped.
  inn_run "$INN_BIN/innd" -f >"$INN_DIR/log/innd.out" 2>&1 &
  INN_PID=$!
  if ! inn_wait_greeting "$INN_PORT" "$INN_PID" >/dev/null; then
    echo "inn: no greeting on 127.0.0.1:$INN_PORT:" >&2
    cat "$INN_DIR/log/innd.out" "$INN_DIR/log/errlog" >&2 2>/dev/null
    return 1
  fi
  if [ -n "$INN_TLS_PORT" ]; then
    INN_TLS_CA=$INN_DIR/etc/tls/ca.pem
    # -S: TLS from the first byte.  Started as root like the AUTHINFO
    # reader: it binds, then becomes the news user.
    "${INN_UTS[@]}" env INNCONF="$INN_DIR/etc/inn.conf" "$INN_BIN/nnrpd" -D -f -4 127.0.0.1 \
      -p "$INN_TLS_PORT" -S -n >"$INN_DIR/log/nnrpd-tls.out" 2>&1 &
    INN_TLS_PID=$!
    if ! inn_tls_check "$INN_PORT" starttls; then
      echo "inn: STARTTLS on 127.0.0.1:$INN_PORT gave no verified TLS session" >&2
      rc=3
    elif ! inn_wait_tls "$INN_TLS_PORT" "$INN_TLS_PID"; then
      echo "inn: the TLS reader on 127.0.0.1:$INN_TLS_PORT gave no verified TLS session" >&2
      cat "$INN_DIR/log/nnrpd-tls.out" >&2 2>/dev/null
      rc=3
    fi
    if [ "$rc" = 3 ]; then
      INN_TLS_PORT=
      INN_TLS_CA=
    fi
  fi
  if [ -n "$INN_AUTH_PORT" ]; then
    # Started as root: nnrpd binds the port, then becomes the news user.
    # It stays in the foreground, so its process id is known.
    "${INN_UTS[@]}" env INNCONF="$INN_DIR/etc/inn.conf" "$INN_BIN/nnrpd" -D -f -b 127.0.0.1 \
      -p "$INN_AUTH_PORT" -c "$INN_DIR/etc/readers-auth.conf" \
      >"$INN_DIR/log/nnrpd-auth.out" 2>&1 &
    INN_AUTH_PID=$!
    if ! inn_wait_greeting "$INN_AUTH_PORT" "$INN_AUTH_PID" >/dev/null; then
      echo "inn: the standalone nnrpd gave no greeting on 127.0.0.1:$INN_AUTH_PORT" >&2
      cat "$INN_DIR/log/nnrpd-auth.out" >&2 2>/dev/null
      INN_AUTH_PORT=
      return 2
    fi
  fi
  return "$rc"
}

inn_newgroup() {
  inn_run "$INN_BIN/ctlinnd" -s newgroup "$1" y
}

inn_stop() {
  [ -n "$INN_DIR" ] || return 0
  local pid tries
  if [ -n "$INN_AUTH_PID" ]; then
    kill "$INN_AUTH_PID" 2>/dev/null
    wait "$INN_AUTH_PID" 2>/dev/null
    INN_AUTH_PID=
  fi
  if [ -n "$INN_TLS_PID" ]; then
    kill "$INN_TLS_PID" 2>/dev/null
    wait "$INN_TLS_PID" 2>/dev/null
    INN_TLS_PID=
  fi
  if [ -n "$INN_PID" ]; then
    inn_run "$INN_BIN/ctlinnd" -s -t 20 shutdown "end of test" >/dev/null 2>&1
    for ((tries = 0; tries < 100; tries++)); do
      inn_alive "$INN_PID" || break
      sleep 0.1
    done
    if [ "$tries" = 100 ]; then
      pid=$(cat "$INN_DIR/run/innd.pid" 2>/dev/null)
      [ -n "$pid" ] && kill -9 "$pid" 2>/dev/null
      kill "$INN_PID" 2>/dev/null
    fi
    wait "$INN_PID" 2>/dev/null
    INN_PID=
  fi
  INN_DIR=
}

# Whether process $1 still runs (one that has exited, not yet reaped, does not).
inn_alive() {
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
  stat=${stat##*) }
  [ "${stat:0:1}" != Z ]
}
