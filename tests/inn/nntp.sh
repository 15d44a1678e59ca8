# A small NNTP client in bash, over /dev/tcp, for the tests: it posts the
# articles and reads back what the server serves, independently of
# pelliton.  Source this file; it only defines functions.
#
#   nntp_connect PORT       opens 127.0.0.1:PORT, reads the greeting
#   nntp_command LINE       sends LINE and reads the status line
#   nntp_text FILE          reads a multi-line answer into FILE, each line
#                           ending in LF, dot-stuffing undone
#   nntp_post FILE          posts the article in FILE (LF line ends)
#   nntp_close              sends QUIT and closes
# After each exchange NNTP_LINE holds the status line (without CR LF) and
# NNTP_CODE its three-digit code.

NNTP_FD=
NNTP_LINE=
NNTP_CODE=

nntp_read_line() {
  NNTP_LINE=
  IFS= read -r -t 60 NNTP_LINE <&"$NNTP_FD" || return 1
  NNTP_LINE=${NNTP_LINE%$'\r'}
  NNTP_CODE=${NNTP_LINE:0:3}
}

nntp_connect() {
  { exec {NNTP_FD}<>"/dev/tcp/127.0.0.1/$1"; } 2>/dev/null || return 1
  nntp_read_line || return 1
  [[ $NNTP_CODE == 20[01] ]]
}

nntp_command() {
  printf '%s\r\n' "$1" >&"$NNTP_FD" && nntp_read_line
}

nntp_text() {
  local line
  : > "$1"
  while IFS= read -r -t 60 line <&"$NNTP_FD"; do
    line=${line%$'\r'}
    [ "$line" = . ] && return 0
    [ "${line:0:1}" = . ] && line=${line:1}
    printf '%s\n' "$line" >> "$1"
  done
  return 1
}

nntp_post() {
  nntp_command POST || return 1
  [ "$NNTP_CODE" = 340 ] || return 1
  # Every line leaves with CR LF; a line that begins with "." gains one more.
  # The article and its end line leave in one write: in pieces, each piece
  # would wait for the server's delayed acknowledgement of the one before.
  { sed -e 's/^\./../' -e 's/$/\r/' "$1"; printf '.\r\n'; } > "$1.wire"
  cat "$1.wire" >&"$NNTP_FD"
  rm -f "$1.wire"
  nntp_read_line && [ "$NNTP_CODE" = 240 ]
}

nntp_close() {
  [ -n "$NNTP_FD" ] || return 0
  # In a subshell: a write into a connection that is gone must not end
  # the calling shell through SIGPIPE.
  (printf 'QUIT\r\n' >&"$NNTP_FD") 2>/dev/null
  IFS= read -r -t 10 NNTP_LINE <&"$NNTP_FD"
  exec {NNTP_FD}>&-
  NNTP_FD=
}
