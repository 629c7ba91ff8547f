#!/usr/bin/env bash
# Makes, in the folder given, a root, an intermediate issuing three server
# certificates (good, revoked, expired), a self-signed one, an unrelated
# authority, and stapled OCSP responses made by the intermediate (and one
# signed by the unrelated authority).
set -eu
cd "${1:?folder}"
key() { openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$1.key" -out "$1.csr" -subj "/CN=$2" 2>/dev/null; }
selfsigned() {
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$1.key" -out "$1.pem" -days 3650 \
    -subj "/CN=$2" -addext "$3" 2>/dev/null
}
selfsigned root "Test Root" "basicConstraints=critical,CA:TRUE"
selfsigned other "Unrelated Authority" "basicConstraints=critical,CA:TRUE"
selfsigned self "self.example" "extendedKeyUsage=serverAuth"
key intermediate "Test Intermediate"
printf 'basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign,digitalSignature\n' >intermediate.ext
openssl x509 -req -in intermediate.csr -CA root.pem -CAkey root.key -CAcreateserial -out intermediate.pem -days 3650 \
  -extfile intermediate.ext 2>/dev/null

: >index.txt
echo 1000 >serial
mkdir -p issued
cat >ca.cnf <<'CNF'
[ca]
default_ca = intermediate
[intermediate]
database = ./index.txt
new_certs_dir = ./issued
serial = ./serial
certificate = ./intermediate.pem
private_key = ./intermediate.key
default_md = sha256
default_days = 365
policy = anything
x509_extensions = server
unique_subject = no
[anything]
commonName = supplied
[server]
basicConstraints = critical,CA:FALSE
extendedKeyUsage = serverAuth
CNF
for name in good revoked expired; do key "$name" "$name.example"; done
openssl ca -batch -config ca.cnf -notext -in good.csr -out good.pem 2>/dev/null
openssl ca -batch -config ca.cnf -notext -in revoked.csr -out revoked.pem 2>/dev/null
openssl ca -batch -config ca.cnf -notext -in expired.csr -out expired.pem \
  -startdate 20200101000000Z -enddate 20210101000000Z 2>/dev/null
openssl ca -config ca.cnf -revoke revoked.pem 2>/dev/null

respond() {  # certificate, signer, output
  openssl ocsp -issuer intermediate.pem -cert "$1.pem" -no_nonce -reqout "$1.req" 2>/dev/null
  openssl ocsp -index index.txt -CA intermediate.pem -rsigner "$2.pem" -rkey "$2.key" -reqin "$1.req" \
    -respout "$3" -ndays 1 2>/dev/null
}
respond good intermediate good.ocsp
respond revoked intermediate revoked.ocsp
respond good other foreign.ocsp
respond expired intermediate expired.ocsp
