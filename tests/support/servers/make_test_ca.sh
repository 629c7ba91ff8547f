#!/usr/bin/env bash
# Makes, in the folder given, a test certificate authority and a server
# certificate it signed for 127.0.0.1 and localhost (ca.pem, server.pem,
# server.key), plus a second, unrelated authority and a server certificate of
# its own (other-ca.pem, other-server.pem, other-server.key).
set -euo pipefail
dir=${1:?folder}
cd -- "$dir"
make_pair() {
  local prefix=$1
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Nerova Test Authority ${prefix}" \
    -keyout "${prefix}ca.key" -out "${prefix}ca.pem" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
  openssl req -newkey rsa:2048 -nodes -subj "/CN=127.0.0.1" -keyout "${prefix}server.key" -out "${prefix}server.csr" 2>/dev/null
  printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' > "${prefix}ext.cnf"
  openssl x509 -req -in "${prefix}server.csr" -CA "${prefix}ca.pem" -CAkey "${prefix}ca.key" -CAcreateserial \
    -days 2 -extfile "${prefix}ext.cnf" -out "${prefix}server.pem" 2>/dev/null
}
make_pair ""
make_pair "other-"
