#!/usr/bin/env bash
# Test certificates for the TLS tests, made with the openssl command-line
# tool alone (EC P-256 keys: fast).
#
#   make_tls_certs.sh DIR
#
# writes into DIR (created if need be):
#   ca.pem, ca.key                the test root CA (CA:TRUE), valid a year;
#                                 the clients trust it (CA file)
#   server.pem, server.key        signed by the CA: CN localhost,
#                                 subjectAltName DNS:localhost, IP:127.0.0.1,
#                                 valid from now for 30 days
#   wrong-name.pem, .key          signed by the CA, but only for
#                                 other-name.example (CN and DNS name)
#   expired.pem, .key             signed by the CA, names as server.pem,
#                                 valid only in January 2020
#   rogue-ca.pem, rogue-ca.key    a second root CA that nobody trusts
#   untrusted.pem, .key           like server.pem, signed by the rogue CA
#   twin-ca.pem, twin-ca.key      a forged root: the subject and serial number
#                                 of ca.pem (both public), a key of its own
#   twin-keyid-ca.pem, .key       the same forgery that also copies ca.pem's
#                                 subject key identifier
#   forged.pem, .key              like server.pem, signed by twin-ca: what an
#                                 impostor shows with the twin root
#   forged-keyid.pem, .key        like server.pem, signed by twin-keyid-ca
#   NAME-chain.pem                for each server certificate NAME: the
#                                 certificate, then its CA (what Postfix's
#                                 smtpd_tls_cert_file wants)
#   openssl.cnf, ca-db/           the configuration and "openssl ca" state
#                                 the expired certificate is made with
#
# OpenSSL 3.0's "x509 -req" has no way to set notBefore, so the expired
# certificate comes from "openssl ca -startdate/-enddate".
#
# Running it again on a complete set that is still good for a day does
# nothing; otherwise the whole set is made anew. DIR and the certificates
# are world-readable and the keys are readable by their owner and group
# "postfix" when that group exists (smtpd loads them as root before it
# drops privileges; the group only helps a daemon that reads them later).
# They are throw-away test keys in a temporary directory.
#
# Exit status: 0 done; 77 openssl is missing; 2 usage; 1 anything else.
set -uo pipefail

PATH=/usr/sbin:/usr/bin:/sbin:/bin
SERVERS=(server wrong-name expired untrusted forged forged-keyid)

die() {
  echo "make_tls_certs: $*" >&2
  exit 1
}

[ $# -eq 1 ] && [ -n "$1" ] || {
  echo "usage: $0 DIR" >&2
  exit 2
}
command -v openssl >/dev/null 2>&1 || {
  echo "make_tls_certs: openssl is missing" >&2
  exit 77
}

dir=$1
mkdir -p "$dir" || die "cannot create $dir"
cd "$dir" || die "cannot enter $dir"

# A complete set whose server certificates verify as intended and last
# another day is kept as it is.
complete() {
  local f
  for f in ca rogue-ca twin-ca twin-keyid-ca "${SERVERS[@]}"; do
    [ -s "$f.pem" ] && [ -s "$f.key" ] || return 1
  done
  for f in "${SERVERS[@]}"; do
    [ -s "$f-chain.pem" ] || return 1
  done
  openssl verify -CAfile ca.pem server.pem wrong-name.pem >/dev/null 2>&1 &&
    openssl verify -CAfile rogue-ca.pem untrusted.pem >/dev/null 2>&1 &&
    openssl verify -CAfile twin-ca.pem forged.pem >/dev/null 2>&1 &&
    openssl verify -CAfile twin-keyid-ca.pem forged-keyid.pem >/dev/null 2>&1 &&
    twins_of ca twin-ca && twins_of ca twin-keyid-ca &&
    openssl x509 -in server.pem -noout -checkend 86400 >/dev/null 2>&1 &&
    ! openssl x509 -in expired.pem -noout -checkend 0 >/dev/null 2>&1
}
# Whether root $2 forges root $1: the same subject and serial number (what
# a look-up by issuer and serial compares), another key.
twins_of() {
  local a b what
  for what in -subject -serial; do
    a=$(openssl x509 -in "$1.pem" -noout "$what") && b=$(openssl x509 -in "$2.pem" -noout "$what") &&
      [ "$a" = "$b" ] || return 1
  done
  a=$(openssl x509 -in "$1.pem" -noout -pubkey) && b=$(openssl x509 -in "$2.pem" -noout -pubkey) &&
    [ "$a" != "$b" ]
}

complete && exit 0

log=$(mktemp) || die "mktemp failed"
trap 'rm -f "$log"' EXIT
run() {
  "$@" >>"$log" 2>&1 || die "failed: $* $(tail -n 20 "$log")"
}

rm -rf ca-db
mkdir -p ca-db/new || die "cannot create $dir/ca-db"
: >ca-db/index.txt
# -notext keeps the PEM files bare; unique_subject=no lets a second run
# reuse the database.
cat >openssl.cnf <<'EOF'
# Written by make_tls_certs.sh.
[req]
distinguished_name = req_dn
prompt = no

[req_dn]

[root_ca]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash

[server_localhost]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost, IP:127.0.0.1
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always

[server_other_name]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = DNS:other-name.example
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always

[ca]
default_ca = test_ca

[test_ca]
dir = ca-db
database = $dir/index.txt
new_certs_dir = $dir/new
certificate = ca.pem
private_key = ca.key
default_md = sha256
policy = any_name
unique_subject = no
copy_extensions = none
rand_serial = yes

[any_name]
commonName = supplied
organizationName = optional
EOF

key() {
  run openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1.key"
}

# root NAME SUBJECT
root() {
  key "$1"
  run openssl req -config openssl.cnf -new -x509 -key "$1.key" -out "$1.pem" -days 365 \
    -sha256 -subj "$2" -extensions root_ca
}

# leaf NAME CA CN EXTENSIONS: valid from now for 30 days.
leaf() {
  key "$1"
  run openssl req -config openssl.cnf -new -key "$1.key" -out "$1.csr" -subj "/CN=$3"
  run openssl x509 -req -in "$1.csr" -CA "$2.pem" -CAkey "$2.key" \
    -set_serial "0x$(openssl rand -hex 12)" -days 30 -sha256 \
    -extfile openssl.cnf -extensions "$4" -out "$1.pem"
  rm -f "$1.csr"
}

root ca "/O=postfix-sasl test/CN=postfix-sasl test CA"
root rogue-ca "/O=rogue/CN=rogue test CA"
# The twins: ca.pem's subject and serial number, keys of their own; the
# second also carries ca.pem's subject key identifier, so that a client
# matching issuers by key identifier finds the real root for its leaf.
serial=$(openssl x509 -in ca.pem -noout -serial | sed 's/^serial=//')
[ -n "$serial" ] || die "no serial number in ca.pem"
keyid=$(openssl x509 -in ca.pem -noout -ext subjectKeyIdentifier | tail -n 1 | tr -d ' ')
[ -n "$keyid" ] || die "no subject key identifier in ca.pem"
printf '\n[twin_keyid_ca]\n%s\n%s\n%s\n' "basicConstraints = critical, CA:TRUE" \
  "keyUsage = critical, keyCertSign, cRLSign" "subjectKeyIdentifier = $keyid" >>openssl.cnf ||
  die "cannot write openssl.cnf"
# twin NAME EXTENSIONS
twin() {
  key "$1"
  run openssl req -config openssl.cnf -new -x509 -key "$1.key" -out "$1.pem" -days 365 \
    -sha256 -subj "/O=postfix-sasl test/CN=postfix-sasl test CA" -set_serial "0x$serial" \
    -extensions "$2"
}
twin twin-ca root_ca
twin twin-keyid-ca twin_keyid_ca

leaf server ca localhost server_localhost
leaf wrong-name ca other-name.example server_other_name
leaf untrusted rogue-ca localhost server_localhost
leaf forged twin-ca localhost server_localhost
leaf forged-keyid twin-keyid-ca localhost server_localhost

key expired
run openssl req -config openssl.cnf -new -key expired.key -out expired.csr -subj "/CN=localhost"
run openssl ca -config openssl.cnf -batch -notext -in expired.csr -out expired.pem \
  -startdate 20200101000000Z -enddate 20200201000000Z -extensions server_localhost
rm -f expired.csr
openssl x509 -in expired.pem -noout -checkend 0 >/dev/null 2>&1 &&
  die "expired.pem is not expired"

for f in server wrong-name expired; do
  cat "$f.pem" ca.pem >"$f-chain.pem" || die "cannot write $f-chain.pem"
done
cat untrusted.pem rogue-ca.pem >untrusted-chain.pem || die "cannot write untrusted-chain.pem"
cat forged.pem twin-ca.pem >forged-chain.pem || die "cannot write forged-chain.pem"
cat forged-keyid.pem twin-keyid-ca.pem >forged-keyid-chain.pem ||
  die "cannot write forged-keyid-chain.pem"

chmod 755 . || die "cannot chmod $dir"
chmod 644 ./*.pem openssl.cnf || die "cannot chmod the certificates"
keys=(./*.key)
chmod 600 "${keys[@]}" || die "cannot chmod the keys"
if [ "$(id -u)" -eq 0 ] && getent group postfix >/dev/null 2>&1; then
  chgrp postfix "${keys[@]}" && chmod 640 "${keys[@]}" || die "cannot give the keys to group postfix"
fi

complete || die "the certificates made do not check out: $(tail -n 20 "$log")"
exit 0
