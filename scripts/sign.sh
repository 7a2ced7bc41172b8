#!/usr/bin/env bash
# Puts an embedded Authenticode signature (SHA-256) on PE images, catalogs and cabinets, in place.
#
# usage: sign.sh FILE...              sign each file (a signature it has is replaced)
#        sign.sh --public-cert PATH   write the signer's public certificate (DER) to PATH
#
# The signer: with SIGN_PFX set, that PKCS #12 file (its password in SIGN_PASSWORD); otherwise the
# project's test certificate, made on first use under out/signing/ of this tree and kept there, so
# a machine that trusts it once goes on trusting later builds. SIGN_TIMESTAMP_URL, when set, is an
# RFC 3161 time-stamping server whose countersignature keeps the signature valid after the
# certificate expires.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
signing=${SIGN_DIR:-$root/out/signing}
test_key=$signing/vcombus-test.key
test_cert=$signing/vcombus-test.pem
# A time-stamping server is someone else's machine: never wait on it without a bound.
timestamp_limit=${SIGN_TIMESTAMP_LIMIT:-120}

die() { echo "sign.sh: $*" >&2; exit 1; }

for tool in osslsigncode openssl; do
    command -v "$tool" >/dev/null 2>&1 ||
        die "$tool is missing (install it with: scripts/ensure-deps.sh package, as root)"
done

# The test certificate: self-signed, for code signing only, RSA 3072 with SHA-256, valid for 30
# years so that a trusted copy doesn't lapse under a long-lived tree. Made in a scratch directory
# and moved into place whole, so an interrupted first run leaves no half-made pair behind.
ensure_test_cert() {
    [[ -s $test_key && -s $test_cert ]] && return 0
    mkdir -p "$signing"
    local scratch
    scratch=$(mktemp -d "$signing/.new.XXXXXX")
    if ! (umask 077 && openssl req -x509 -newkey rsa:3072 -sha256 -nodes -days 10950 \
            -keyout "$scratch/key" -out "$scratch/cert" \
            -subj "/CN=vcombus test signing ($(hostname -s 2>/dev/null || echo build))/O=vcombus" \
            -addext "basicConstraints=critical,CA:FALSE" \
            -addext "keyUsage=critical,digitalSignature" \
            -addext "extendedKeyUsage=codeSigning" \
            -addext "subjectKeyIdentifier=hash" >"$scratch/log" 2>&1); then
        cat "$scratch/log" >&2
        rm -rf "$scratch"
        die "could not make the test certificate"
    fi
    mv "$scratch/key" "$test_key"
    mv "$scratch/cert" "$test_cert"
    rm -rf "$scratch"
    echo "sign.sh: made the test certificate $test_cert" >&2
}

# OpenSSL 3 reads PKCS #12 files made with older ciphers (RC2, 3DES: what Windows exports by
# default) only with its legacy provider; try without it first.
pfx_cert_pem() {
    local pass=${SIGN_PASSWORD:-}
    SIGN_PASSWORD=$pass openssl pkcs12 -in "$SIGN_PFX" -clcerts -nokeys -passin env:SIGN_PASSWORD 2>/dev/null ||
        SIGN_PASSWORD=$pass openssl pkcs12 -legacy -in "$SIGN_PFX" -clcerts -nokeys -passin env:SIGN_PASSWORD 2>/dev/null
}

signer_args=()
if [[ -n ${SIGN_PFX:-} ]]; then
    [[ -r $SIGN_PFX ]] || die "SIGN_PFX: cannot read $SIGN_PFX"
    pfx_cert_pem >/dev/null || die "SIGN_PFX: cannot open $SIGN_PFX (wrong SIGN_PASSWORD?)"
    signer_args=(-pkcs12 "$SIGN_PFX")
    # On the command line the password would show in the process list; osslsigncode reads it
    # from a file.
    if [[ -n ${SIGN_PASSWORD:-} ]]; then
        passfile=$(mktemp)
        trap 'rm -f "$passfile"' EXIT
        printf '%s' "$SIGN_PASSWORD" >"$passfile"
        signer_args+=(-readpass "$passfile")
    fi
else
    ensure_test_cert
    signer_args=(-certs "$test_cert" -key "$test_key")
fi

if [[ ${1:-} == --public-cert ]]; then
    [[ $# -eq 2 ]] || die "usage: sign.sh --public-cert PATH"
    if [[ -n ${SIGN_PFX:-} ]]; then
        pfx_cert_pem | openssl x509 -outform DER -out "$2" || die "could not write $2"
    else
        openssl x509 -in "$test_cert" -outform DER -out "$2" || die "could not write $2"
    fi
    exit 0
fi

(($#)) || die "usage: sign.sh FILE... | sign.sh --public-cert PATH"

timestamp_args=()
[[ -z ${SIGN_TIMESTAMP_URL:-} ]] || timestamp_args=(-ts "$SIGN_TIMESTAMP_URL")

for file in "$@"; do
    [[ -f $file ]] || die "no file $file"
    case ${file,,} in
        *.sys|*.exe|*.dll|*.cat|*.cab) ;;
        *) die "$file: only PE images (.sys, .exe, .dll), catalogs (.cat) and cabinets (.cab) are signed" ;;
    esac
    out=$file.signing
    rm -f "$out"
    # Signing replaces a signature the file already has (no -nest): a rebuild's files take the
    # current signer's signature alone.
    if ! timeout --kill-after=5 "$timestamp_limit" osslsigncode sign "${signer_args[@]}" -h sha256 \
            -n vcombus "${timestamp_args[@]}" \
            -in "$file" -out "$out" >"$file.signing.log" 2>&1; then
        cat "$file.signing.log" >&2
        rm -f "$out" "$file.signing.log"
        die "$file: signing failed"
    fi
    rm -f "$file.signing.log"
    # The signed copy keeps the original's mode; mv replaces the file whole.
    chmod --reference="$file" "$out"
    mv -f "$out" "$file"
done
