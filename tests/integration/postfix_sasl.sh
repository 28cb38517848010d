#!/usr/bin/env bash
# A private Postfix instance with Cyrus SASL on 127.0.0.1, as a real SMTP
# peer for the AUTH tests (NTLM, LOGIN, PLAIN).
#
#   postfix_sasl.sh start DIR USER PASSWORD [MECHS]   prints the port, exits 0
#   postfix_sasl.sh stop DIR                          safe to call twice
#
# Everything the instance owns lives in DIR:
#   DIR/etc/main.cf, master.cf   its configuration (/etc/postfix's main.cf is
#                                never read; only Postfix's packaged metadata,
#                                /etc/postfix/postfix-files, is used)
#   DIR/etc/sasl/smtpd.conf      Cyrus SASL configuration: auxprop, sasldb,
#                                mech_list MECHS (default "NTLM LOGIN PLAIN")
#   DIR/etc/sasl/sasldb2         the one user, password stored in plain text
#   DIR/spool                    queue directory (pid/master.pid)
#   DIR/data                     data directory
#   DIR/mail/*.eml               every delivered message, one file per
#                                recipient, headed by Return-Path and
#                                Delivered-To; nothing ever leaves the machine
#                                (there is no smtp/lmtp client service)
#   DIR/maillog                  Postfix's log (postlogd), SASL messages too
#   DIR/start.log                output of saslpasswd2 and "postfix start"
#   DIR/port                     the port, as printed
#   DIR/tls_ports                with POSTFIX_SASL_TLS: "NAME PORT" lines
# POSTFIX_SASL_SMTPUTF8=yes in the environment turns on SMTPUTF8 (RFC 6531);
# POSTFIX_SASL_SIZE_LIMIT=OCTETS sets message_size_limit (SIZE, RFC 1870).
# The SASL files sit in DIR/etc/sasl because Debian's Postfix reads
# smtpd.conf from $config_directory/sasl whatever cyrus_sasl_config_path
# says; cyrus_sasl_config_path names that same directory.
#
# One smtpd on 127.0.0.1:PORT (a free port in 10000..32767, below the
# kernel's range for outgoing connections), not chrooted, plaintext
# mechanisms offered without TLS. Relaying is allowed only for authenticated
# clients: there is no local domain and no trusted network, so an
# unauthenticated RCPT gets "554 5.7.1 <...>: Relay access denied".
# smtpd_error_sleep_time is 0, so failed logins cost no time.
#
# TLS: with POSTFIX_SASL_TLS=CERTDIR (a directory made by make_tls_certs.sh
# beside this file) more smtpd services listen, each on a port of its own
# on 127.0.0.1, and are listed in DIR/tls_ports and on stdout before the
# main port (which stays last, and stays plain, without STARTTLS):
#   starttls    STARTTLS (RFC 3207) with server-chain.pem/server.key; AUTH
#               only after TLS (smtpd_tls_auth_only), so EHLO in clear text
#               offers no AUTH and AUTH gets "503 5.5.1 Error:
#               authentication not enabled"; TLS itself is optional
#   implicit    TLS from the first byte (smtpd_tls_wrappermode, as on port
#               465), same certificate, AUTH allowed
#   wrong_name  as starttls, with wrong-name-chain.pem (other-name.example)
#   expired     as starttls, with expired-chain.pem
#   untrusted   as starttls, with untrusted.pem alone (signed by the rogue
#               CA, which it does not send, as a server of an unknown CA
#               would not: a client fails with "unable to get local issuer
#               certificate" rather than "self-signed certificate in chain")
#   forged      as starttls, with forged-chain.pem: an impostor's leaf and
#               its twin of the test CA (same subject and serial, another key)
# TLS 1.2 at least. smtpd_tls_loglevel is 1 (handshakes are logged in
# DIR/maillog under postfix/NAME/smtpd) and the Received header of a message
# that came over TLS says "using TLSv1.x with cipher ...". No session cache:
# tlsmgr runs for the random pool only. smtpd loads certificate and key as
# root before it drops privileges, so CERTDIR need not be readable by
# "postfix". Without POSTFIX_SASL_TLS the instance has no TLS at all.
#
# Realm: Cyrus looks users up as NAME@REALM. A name without '@' gets the
# user realm appended: smtpd_sasl_local_domain, set here to myhostname
# (mx.postfix-sasl.test), and the user is stored with saslpasswd2 -u in
# that realm, so a plain "alice" logs in with LOGIN, PLAIN and NTLM, and so
# does "alice@mx.postfix-sasl.test". NTLM ignores the domain and workstation
# the client sends in TYPE1/TYPE3 for the lookup (any or none works). User
# names are case-sensitive ("Alice" fails). saslpasswd2's default realm is
# the machine's host name, which would not match.
#
# Two instances in different DIRs run side by side. Starting over a DIR
# left by a killed run stops whatever still runs there first and starts
# afresh. With POSTFIX_SASL_WATCH_PID set, a watcher stops the instance
# once that process is gone (see start_watcher).
#
# Exit status: 0 started; 77 a required package (postfix, libsasl2-modules,
# sasl2-bin, with POSTFIX_SASL_TLS openssl too) is missing or the script is
# not run as root; 1 anything else.
# Needs root: Postfix's master runs as root and its daemons as "postfix";
# deliveries run as "nobody", so DIR must be reachable by other users.
set -uo pipefail

PATH=/usr/sbin:/usr/bin:/sbin:/bin
HOSTNAME_TEST=mx.postfix-sasl.test
DOMAIN_TEST=postfix-sasl.test
# The TLS services (see above), in the order they are listed, and the
# certificate file each one shows (NAME.pem or NAME-chain.pem, key NAME.key).
TLS_NAMES=(starttls implicit wrong_name expired untrusted forged)
declare -A TLS_CERT=([starttls]=server-chain [implicit]=server-chain
  [wrong_name]=wrong-name-chain [expired]=expired-chain [untrusted]=untrusted
  [forged]=forged-chain)
declare -A TLS_PORT=()
TLS_DIR=

die() {
  echo "postfix_sasl: $*" >&2
  exit 1
}

skip() {
  echo "postfix_sasl: $*" >&2
  exit 77
}

usage() {
  echo "usage: $0 start DIR USER PASSWORD [MECHS] | stop DIR" >&2
  exit 2
}

absdir() {
  case "$1" in
    /*) printf '%s\n' "$1" ;;
    *) printf '%s/%s\n' "$PWD" "$1" ;;
  esac
}

# The processes of the instance in DIR: every process whose working
# directory is DIR/spool (the master and all Postfix daemons chdir to the
# queue directory, and the children of pipe inherit it).
instance_pids() {
  local spool
  spool=$(readlink -f "$1/spool" 2>/dev/null) || return 0
  [ -n "$spool" ] && [ "$spool" != / ] || return 0
  find /proc/[0-9]*/cwd -maxdepth 0 \( -lname "$spool" -o -lname "$spool/*" \) 2>/dev/null |
    sed -e 's|^/proc/||' -e 's|/cwd$||'
}

# True while process $1 exists and is not a zombie (the master is re-parented
# to init, which may take a while to reap it).
alive() {
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
  stat=${stat##*) }
  [ "${stat%% *}" != Z ]
}

do_stop() {
  local dir=$1 pid pids i
  [ -d "$dir" ] || return 0
  if [ -f "$dir/spool/pid/master.pid" ]; then
    pid=$(tr -dc 0-9 <"$dir/spool/pid/master.pid" 2>/dev/null)
    if [ -n "$pid" ] && [ "$(readlink "/proc/$pid/cwd" 2>/dev/null)" = "$(readlink -f "$dir/spool")" ]; then
      # The master stops its children when it gets SIGTERM.
      kill -TERM "$pid" 2>/dev/null
      for ((i = 0; i < 40; i++)); do
        alive "$pid" || break
        sleep 0.05
      done
    fi
  fi
  for ((i = 0; i < 20; i++)); do
    pids=$(instance_pids "$dir")
    [ -z "$pids" ] && break
    # shellcheck disable=SC2086
    kill -TERM $pids 2>/dev/null
    sleep 0.05
  done
  pids=$(instance_pids "$dir")
  # shellcheck disable=SC2086
  [ -n "$pids" ] && kill -KILL $pids 2>/dev/null
  for ((i = 0; i < 20; i++)); do
    [ -z "$(instance_pids "$dir")" ] && break
    sleep 0.05
  done
  rm -f "$dir/spool/pid/master.pid" "$dir/port" "$dir/tls_ports" "$dir/instance"
  return 0
}

# A port on 127.0.0.1 that nothing listens on, outside the range the kernel
# hands out for outgoing connections.
pick_port() {
  local lo hi port hex i
  read -r lo hi </proc/sys/net/ipv4/ip_local_port_range 2>/dev/null || lo=32768
  [ "$lo" -gt 12000 ] || lo=32768
  for ((i = 0; i < 50; i++)); do
    port=$((10000 + (RANDOM * 32768 + RANDOM) % (lo - 10000)))
    hex=$(printf '%04X' "$port")
    grep -q -E "^ *[0-9]+: [0-9A-F]+:$hex [0-9A-F]+:[0-9A-F]+ 0A " /proc/net/tcp 2>/dev/null && continue
    echo "$port"
    return 0
  done
  return 1
}

# True when 127.0.0.1:$1 answers with a 220 greeting (then says QUIT).
greets() {
  (
    exec 3<>"/dev/tcp/127.0.0.1/$1" || exit 1
    line=
    IFS= read -r -t 2 line <&3
    printf 'QUIT\r\n' >&3
    case "$line" in
      220[\ -]*) exit 0 ;;
    esac
    exit 1
  )
}

# True when 127.0.0.1:$1 greets and offers STARTTLS after EHLO: smtpd
# leaves STARTTLS out when it could not load its certificate.
offers_starttls() {
  (
    exec 3<>"/dev/tcp/127.0.0.1/$1" || exit 1
    line=
    IFS= read -r -t 2 line <&3
    case "$line" in
      220[\ -]*) ;;
      *) exit 1 ;;
    esac
    printf 'EHLO probe.postfix-sasl.test\r\n' >&3
    found=1
    while IFS= read -r -t 2 line <&3; do
      line=${line%$'\r'}
      [ "${line:4}" = STARTTLS ] && found=0
      case "$line" in
        250-*) ;;
        *) break ;;
      esac
    done
    printf 'QUIT\r\n' >&3
    exit $found
  )
}

# True when 127.0.0.1:$1 answers a TLS handshake with a 220 greeting.
greets_over_tls() {
  printf 'QUIT\r\n' | timeout 5 openssl s_client -connect "127.0.0.1:$1" -quiet 2>/dev/null |
    grep -q '^220[ -]'
}

# True when every service of the instance answers as it should.
all_greet() {
  local name
  greets "$1" || return 1
  for name in "${!TLS_PORT[@]}"; do
    if [ "$name" = implicit ]; then
      greets_over_tls "${TLS_PORT[$name]}" || return 1
    else
      offers_starttls "${TLS_PORT[$name]}" || return 1
    fi
  done
  return 0
}

# With TLS, a free port for each TLS service, all different from the main
# port $1 and from each other.
pick_tls_ports() {
  local name p taken=" $1 " tries
  TLS_PORT=()
  [ -n "$TLS_DIR" ] || return 0
  for name in "${TLS_NAMES[@]}"; do
    for ((tries = 0; tries < 20; tries++)); do
      p=$(pick_port) || return 1
      case "$taken" in *" $p "*) continue ;; esac
      break
    done
    case "$taken" in *" $p "*) return 1 ;; esac
    TLS_PORT[$name]=$p
    taken+="$p "
  done
}

write_config() {
  local dir=$1 port=$2 mechs=$3
  cat >"$dir/etc/main.cf" <<EOF
# Written by postfix_sasl.sh; the whole instance lives in $dir.
compatibility_level = 3.6
queue_directory = $dir/spool
data_directory = $dir/data
mail_owner = postfix
setgid_group = postdrop
myhostname = $HOSTNAME_TEST
mydomain = $DOMAIN_TEST
myorigin = \$myhostname
mydestination =
relay_domains =
mynetworks =
relayhost =
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
smtp_host_lookup = native
lmtp_host_lookup = native
smtp_dns_support_level = disabled
smtpd_peername_lookup = no
maillog_file = $dir/maillog
maillog_file_prefixes = $dir
alias_maps =
alias_database =
local_recipient_maps =
biff = no
smtputf8_enable = ${POSTFIX_SASL_SMTPUTF8:-no}
message_size_limit = ${POSTFIX_SASL_SIZE_LIMIT:-10240000}
smtpd_banner = \$myhostname ESMTP
smtpd_tls_security_level = none
smtp_tls_security_level = none
smtpd_sasl_auth_enable = yes
smtpd_sasl_type = cyrus
smtpd_sasl_path = smtpd
cyrus_sasl_config_path = $dir/etc/sasl
smtpd_sasl_local_domain = \$myhostname
smtpd_sasl_security_options = noanonymous
smtpd_sasl_authenticated_header = no
broken_sasl_auth_clients = no
smtpd_client_restrictions =
smtpd_helo_restrictions =
smtpd_sender_restrictions =
smtpd_relay_restrictions = permit_sasl_authenticated, reject_unauth_destination
smtpd_recipient_restrictions =
smtpd_reject_unlisted_sender = no
smtpd_reject_unlisted_recipient = no
smtpd_error_sleep_time = 0
smtpd_soft_error_limit = 100
smtpd_hard_error_limit = 200
smtpd_junk_command_limit = 1000
smtpd_client_auth_rate_limit = 0
in_flow_delay = 0
local_header_rewrite_clients =
always_add_missing_headers = no
default_transport = capture
relay_transport = capture
local_transport = capture
virtual_transport = capture
fallback_transport =
capture_destination_recipient_limit = 1
delay_warning_time = 0
EOF
  # TLS settings common to the TLS services; each names its certificate in
  # master.cf, and the main port keeps smtpd_tls_security_level = none.
  [ -z "$TLS_DIR" ] || cat >>"$dir/etc/main.cf" <<EOF
smtpd_tls_loglevel = 1
smtpd_tls_received_header = yes
smtpd_tls_protocols = >=TLSv1.2
smtpd_tls_mandatory_protocols = >=TLSv1.2
smtpd_tls_session_cache_database =
EOF
  # No smtp/lmtp client services at all: the only way out is "capture".
  cat >"$dir/etc/master.cf" <<EOF
# service type  private unpriv  chroot  wakeup  maxproc command + args
127.0.0.1:$port inet n  -       n       -       -       smtpd
cleanup   unix  n       -       n       -       0       cleanup
qmgr      unix  n       -       n       300     1       qmgr
rewrite   unix  -       -       n       -       -       trivial-rewrite
bounce    unix  -       -       n       -       0       bounce
defer     unix  -       -       n       -       0       bounce
trace     unix  -       -       n       -       0       bounce
verify    unix  -       -       n       -       1       verify
flush     unix  n       -       n       1000?   0       flush
proxymap  unix  -       -       n       -       -       proxymap
proxywrite unix -       -       n       -       1       proxymap
showq     unix  n       -       n       -       -       showq
error     unix  -       -       n       -       -       error
retry     unix  -       -       n       -       -       error
discard   unix  -       -       n       -       -       discard
anvil     unix  -       -       n       -       1       anvil
scache    unix  -       -       n       -       1       scache
postlog   unix-dgram n  -       n       -       1       postlogd
capture   unix  -       n       n       -       1       pipe
  flags=DR user=nobody argv=$dir/deliver \${queue_id}
EOF
  if [ -n "$TLS_DIR" ]; then
    local name cert
    echo "tlsmgr    unix  -       -       n       1000?   1       tlsmgr" >>"$dir/etc/master.cf"
    for name in "${TLS_NAMES[@]}"; do
      cert=${TLS_CERT[$name]}
      {
        echo "127.0.0.1:${TLS_PORT[$name]} inet n  -       n       -       -       smtpd"
        echo "  -o syslog_name=postfix/$name"
        if [ "$name" = implicit ]; then
          echo "  -o smtpd_tls_wrappermode=yes"
          echo "  -o smtpd_tls_security_level=encrypt"
          echo "  -o smtpd_tls_auth_only=no"
        else
          echo "  -o smtpd_tls_security_level=may"
          echo "  -o smtpd_tls_auth_only=yes"
        fi
        echo "  -o smtpd_tls_cert_file=$TLS_DIR/$cert.pem"
        echo "  -o smtpd_tls_key_file=$TLS_DIR/${cert%-chain}.key"
      } >>"$dir/etc/master.cf"
    done
  fi
  cat >"$dir/etc/sasl/smtpd.conf" <<EOF
pwcheck_method: auxprop
auxprop_plugin: sasldb
sasldb_path: $dir/etc/sasl/sasldb2
mech_list: $mechs
log_level: 3
EOF
  # Postfix waits until main.cf is two seconds old before it reads it (so
  # as not to read a file still being written): date them back.
  touch -d "@$(($(date +%s) - 60))" "$dir/etc/main.cf" "$dir/etc/master.cf"
}

do_start() {
  [ $# -ge 3 ] || usage
  local dir user=$2 password=$3 mechs=${4:-NTLM LOGIN PLAIN}
  dir=$(absdir "$1")
  case "$dir" in
    *[[:space:]]* | *'$'* | *'#'*) die "DIR must not contain white space, '\$' or '#': $dir" ;;
  esac
  case "$user" in
    '' | *[[:space:]@]*) die "USER must be non-empty, without white space or '@'" ;;
  esac

  [ "$(id -u)" -eq 0 ] || skip "must run as root (Postfix's master runs as root)"
  local missing=()
  command -v postfix >/dev/null 2>&1 && [ -x /usr/lib/postfix/sbin/master ] || missing+=(postfix)
  command -v saslpasswd2 >/dev/null 2>&1 || missing+=(sasl2-bin)
  local m plugdir=
  for m in /usr/lib/*/sasl2 /usr/lib/sasl2 /usr/lib64/sasl2; do
    [ -e "$m/libntlm.so.2" ] || [ -e "$m/libntlm.so" ] || continue
    plugdir=$m
    break
  done
  if [ -z "$plugdir" ]; then
    missing+=(libsasl2-modules)
  else
    for m in login plain sasldb; do
      ls "$plugdir"/lib$m.so* >/dev/null 2>&1 || missing+=("libsasl2-modules (lib$m)")
    done
  fi
  [ ${#missing[@]} -eq 0 ] || skip "missing package(s): ${missing[*]}"
  postconf -a 2>/dev/null | grep -qx cyrus || skip "this Postfix has no Cyrus SASL support"
  getent passwd postfix >/dev/null && getent group postdrop >/dev/null || skip "user postfix / group postdrop missing"
  getent passwd nobody >/dev/null || die "user nobody missing"

  TLS_DIR=
  if [ -n "${POSTFIX_SASL_TLS:-}" ]; then
    command -v openssl >/dev/null 2>&1 || skip "missing package(s): openssl"
    TLS_DIR=$(absdir "$POSTFIX_SASL_TLS")
    case "$TLS_DIR" in
      *[[:space:]]* | *'$'* | *'#'* | *,*) die "POSTFIX_SASL_TLS must not contain white space, '\$', '#' or ',': $TLS_DIR" ;;
    esac
    local name
    for name in "${TLS_NAMES[@]}"; do
      for m in "$TLS_DIR/${TLS_CERT[$name]}.pem" "$TLS_DIR/${TLS_CERT[$name]%-chain}.key"; do
        [ -r "$m" ] || die "$m missing (POSTFIX_SASL_TLS names a directory made by make_tls_certs.sh)"
      done
    done
  fi

  mkdir -p "$dir" || die "cannot create $dir"
  chmod 755 "$dir" || die "cannot chmod $dir"
  # The daemons run as "postfix" and the delivery as "nobody": both must
  # reach DIR.
  if command -v setpriv >/dev/null 2>&1; then
    setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups test -x "$dir" 2>/dev/null ||
      die "$dir is not reachable by unprivileged users (a parent directory lacks o+x)"
  fi

  # A stale instance (a killed run) in DIR goes first, with its state.
  do_stop "$dir"
  rm -rf "$dir/etc" "$dir/spool" "$dir/data" "$dir/mail" "$dir/deliver" \
    "$dir/maillog" "$dir/start.log" "$dir/port" "$dir/tls_ports"
  mkdir -p "$dir/etc/sasl" "$dir/spool" "$dir/data" "$dir/mail" || die "cannot create directories in $dir"
  chown postfix "$dir/data" && chmod 700 "$dir/data"
  chown nobody "$dir/mail" && chmod 755 "$dir/mail"
  cat >"$dir/deliver" <<EOF
#!/bin/sh
# Called by pipe(8) as nobody, once per recipient, the message on stdin.
umask 022
f=$dir/mail/\$(date +%s%N)-\$1
cat >"\$f.tmp" && mv "\$f.tmp" "\$f.eml"
EOF
  chmod 755 "$dir/deliver"

  # The user, in the realm the server uses (see the top of this file).
  printf '%s' "$password" | saslpasswd2 -p -c -f "$dir/etc/sasl/sasldb2" -u "$HOSTNAME_TEST" "$user" \
    >"$dir/start.log" 2>&1 || die "saslpasswd2 failed: $(cat "$dir/start.log")"
  # Root owns the configuration (as "postfix check" wants); smtpd, running
  # as postfix, reads the database through the group.
  chgrp postfix "$dir/etc/sasl" "$dir/etc/sasl/sasldb2" && chmod 750 "$dir/etc/sasl" &&
    chmod 640 "$dir/etc/sasl/sasldb2" || die "cannot set permissions in $dir/etc/sasl"

  local attempt port=
  for attempt in 1 2 3 4 5; do
    port=$(pick_port) || die "no free port on 127.0.0.1"
    pick_tls_ports "$port" || die "no free port on 127.0.0.1"
    write_config "$dir" "$port" "$mechs"
    chmod 644 "$dir/etc/sasl/smtpd.conf"
    if postfix -c "$dir/etc" start >>"$dir/start.log" 2>&1; then
      break
    fi
    # Lost a race for the port? Then try another one.
    if grep -q -i "address already in use" "$dir/start.log" "$dir/maillog" 2>/dev/null && [ $attempt -lt 5 ]; then
      do_stop "$dir"
      rm -f "$dir/maillog"
      : >"$dir/start.log"
      continue
    fi
    do_stop "$dir"
    die "postfix start failed: $(tail -n 20 "$dir/start.log" "$dir/maillog" 2>/dev/null)"
  done

  local i
  for ((i = 0; i < 100; i++)); do
    if all_greet "$port" 2>/dev/null; then
      local name tls_ports=
      for name in "${TLS_NAMES[@]}"; do
        [ -n "${TLS_PORT[$name]:-}" ] && tls_ports+="$name ${TLS_PORT[$name]}"$'\n'
      done
      [ -z "$TLS_DIR" ] || printf '%s' "$tls_ports" >"$dir/tls_ports"
      echo "$port" >"$dir/port"
      start_watcher "$dir"
      printf '%s' "$tls_ports"
      echo "$port"
      return 0
    fi
    sleep 0.05
  done
  local log
  log=$(tail -n 20 "$dir/maillog" 2>/dev/null)
  do_stop "$dir"
  die "no 220 greeting (or no STARTTLS, or no TLS) on 127.0.0.1:$port${TLS_DIR:+ or its TLS ports (${TLS_PORT[*]})} within 5 s; log: $log"
}

# With POSTFIX_SASL_WATCH_PID set, a detached watcher stops the instance
# once that process is gone (a test that crashed leaves no Postfix behind),
# and in any case after POSTFIX_SASL_LIFETIME seconds (default 1800). It
# ends by itself when the instance is stopped or DIR is started anew.
start_watcher() {
  local dir=$1 owner=${POSTFIX_SASL_WATCH_PID:-} lifetime=${POSTFIX_SASL_LIFETIME:-1800} token
  token="$$-${EPOCHREALTIME:-$RANDOM}"
  echo "$token" >"$dir/instance"
  case "$owner" in '' | *[!0-9]*) return 0 ;; esac
  case "$lifetime" in '' | *[!0-9]*) lifetime=1800 ;; esac
  (cd / && exec setsid "$SELF" watch "$dir" "$owner" "$token" "$lifetime" </dev/null >/dev/null 2>&1) &
}

do_watch() {
  local dir=$1 owner=$2 token=$3 end=$((SECONDS + $4))
  while [ $SECONDS -lt $end ]; do
    [ "$(cat "$dir/instance" 2>/dev/null)" = "$token" ] || return 0
    alive "$owner" || break
    sleep 0.5
  done
  [ "$(cat "$dir/instance" 2>/dev/null)" = "$token" ] && do_stop "$dir"
  return 0
}

SELF=$(readlink -f "$0")
case "${1:-}" in
  start)
    shift
    do_start "$@"
    ;;
  stop)
    [ $# -eq 2 ] || usage
    do_stop "$(absdir "$2")"
    ;;
  watch)
    [ $# -eq 5 ] || usage
    do_watch "$2" "$3" "$4" "$5"
    ;;
  *) usage ;;
esac
