#!/bin/sh
# Signs a driver image with a throw-away test certificate: an Authenticode
# SHA-256 signature, which a test machine in test-signing mode accepts. The
# certificate and its key are made in CERT_DIR on first use and live only
# there (a build folder); they are never part of the source tree.
#   win/sign_image.sh IMAGE SIGNED_IMAGE CERT_DIR
# osslsigncode stores the image checksum again after appending the
# signature, so the signed image still passes the image checker.
set -eu
if [ $# -ne 3 ]; then
  echo "usage: $0 IMAGE SIGNED_IMAGE CERT_DIR" >&2
  exit 2
fi
image=$1
signed=$2
certs=$3

mkdir -p "$certs"
if [ ! -f "$certs/test-signing.pem" ] || [ ! -f "$certs/test-signing.key" ]; then
  openssl req -x509 -newkey rsa:3072 -nodes -sha256 -days 30 \
    -subj "/CN=stillscsi test signing (not for release)" \
    -addext "keyUsage=critical,digitalSignature" \
    -addext "extendedKeyUsage=codeSigning" \
    -keyout "$certs/test-signing.key" -out "$certs/test-signing.pem" 2>/dev/null
  chmod 600 "$certs/test-signing.key"
fi

rm -f "$signed.signing"
osslsigncode sign -h sha256 -n "stillscsi" \
  -certs "$certs/test-signing.pem" -key "$certs/test-signing.key" \
  -in "$image" -out "$signed.signing" >/dev/null
mv "$signed.signing" "$signed"
echo "signed $signed with the test certificate $certs/test-signing.pem"
