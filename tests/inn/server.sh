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
#   inn_start DIR PORT [AUTHPORT]
#       configures an instance in DIR (created, must be absent or empty),
#       starts innd on 127.0.0.1:PORT and, with AUTHPORT, a standalone
#       nnrpd on 127.0.0.1:AUTHPORT that asks for AUTHINFO (user
#       "reader", password in $INN_AUTH_PASSWORD).  Returns non-zero
#       with a message on stderr when INN does not come up.
#   inn_stop
#       stops what inn_start started; safe to call at any time, twice.
#   inn_newgroup NAME
#   inn_free_port [EXCEPT]
#       prints a TCP port on 127.0.0.1 that nothing listens on.

INN_BIN=/usr/lib/news/bin
INN_DIR=
INN_PORT=
INN_AUTH_PORT=
INN_AUTH_PASSWORD=${INN_AUTH_PASSWORD:-open-sesame-42}
INN_AUTH_PID=
INN_PID=

inn_run() {  # runs an INN program as the news user, in the private instance
  runuser -u news -- env INNCONF="$INN_DIR/etc/inn.conf" "$@"
}

inn_free_port() {
  local port tries
  for ((tries = 0; tries < 200; tries++)); do
    port=$((20000 + RANDOM % 40000))
    [ "$port" = "${1:-}" ] && continue
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
  grep -Ev '^[[:space:]]*(path(db|etc|log|run|spool|articles|overview|incoming|outgoing|archive|tmp)|port|server|bindaddress6?|domain|pathhost|fromhost|artcutoff|nnrpdloadlimit|doinnwatch|initialtimeout|nnrpdflags|mailcmd|mta|status|timer|pgpverify|docancels|readerswhenstopped|logipaddr)[[:space:]]*:' \
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
  inn_run "$INN_BIN/makedbz" -i -o -f "$d/db/history" >/dev/null 2>&1 || {
    echo "inn: makedbz failed" >&2
    return 1
  }
}

# Every INN program looks up the host name when it reads inn.conf.  Unless
# /etc/hosts answers, that would ask a name server; the entry added here is
# taken out again by inn_stop.
INN_HOSTS_ADDED=
inn_hosts_entry() {
  local host
  host=$(uname -n)
  [ -n "$host" ] || return 0
  grep -Eq "^[^#]*[[:space:]]$host([[:space:]]|\$)" /etc/hosts && return 0
  if printf '127.0.0.1 %s # pelliton-inn-test\n' "$host" >> /etc/hosts 2>/dev/null; then
    INN_HOSTS_ADDED=1
  fi
}

inn_hosts_remove() {
  [ -n "$INN_HOSTS_ADDED" ] || return 0
  # In place (/etc/hosts may be a mount point that cannot be replaced).
  local kept
  kept=$(grep -v ' # pelliton-inn-test$' /etc/hosts)
  printf '%s\n' "$kept" > /etc/hosts
  INN_HOSTS_ADDED=
}

inn_start() {
  INN_DIR=$1
  INN_PORT=$2
  INN_AUTH_PORT=${3:-}
  local p
  # The instance's parents must be searchable by the news user.
  p=$INN_DIR
  while p=$(dirname "$p") && [ "$p" != / ]; do
    chmod o+x "$p" 2>/dev/null || true
  done
  inn_hosts_entry
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
  if [ -n "$INN_AUTH_PORT" ]; then
    # Started as root: nnrpd binds the port, then becomes the news user.
    # It stays in the foreground, so its process id is known.
    env INNCONF="$INN_DIR/etc/inn.conf" "$INN_BIN/nnrpd" -D -f -b 127.0.0.1 \
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
  return 0
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
  inn_hosts_remove
  INN_DIR=
}

# Whether process $1 still runs (one that has exited, not yet reaped, does not).
inn_alive() {
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
  stat=${stat##*) }
  [ "${stat:0:1}" != Z ]
}
