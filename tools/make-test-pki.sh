#!/usr/bin/env bash
# Makes a throw-away CA and a server certificate for the local stand-in of the
# service (localhost and 127.0.0.1). The CA is trusted only inside the build's
# own Wine prefix; the host's certificate store is never touched.
set -eu
dir=${1:?usage: make-test-pki.sh DIR}
mkdir -p "$dir"
cd "$dir"
[ -f server.pem ] && [ -f ca.der ] && exit 0
openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -sha256 \
  -subj "/CN=Sovelin Local Test CA" -keyout ca.key -out ca.pem \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -subj "/CN=localhost" -keyout server.key -out server.csr 2>/dev/null
printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\nextendedKeyUsage=serverAuth\nbasicConstraints=CA:FALSE\n' > server.ext
openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 3650 -sha256 \
  -extfile server.ext -out server.pem 2>/dev/null
# A second, self-made certificate that nobody trusts, for the refusal tests.
openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -sha256 -subj "/CN=localhost" \
  -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" -keyout untrusted.key -out untrusted.pem 2>/dev/null
openssl x509 -in ca.pem -outform DER -out ca.der
