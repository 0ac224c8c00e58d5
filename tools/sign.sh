#!/bin/sh
# Signs the release exes with Authenticode (SHA-256) and writes into dist/,
# beside the unsigned zips of tools/package.sh, which stay the reproducible
# release, for each architecture:
#   vimra-VERSION-win64-signed.zip and its .sha256: the zip with the signed exe;
#   vimra-VERSION-win64-signature.pem: the exe's signature alone, which
#     attached to anyone's build of the same source gives the signed exe byte
#     for byte (tools/verify-release.sh does that);
# and the same with win-arm64.
#
# The options are osslsigncode's own for its sign command, passed through;
# this script adds the digest, the input and the output. With a key file, or
# a key on a hardware token through its PKCS#11 module:
#   tools/sign.sh -pkcs12 vimra.p12 -readpass password.txt -n vimra
#   tools/sign.sh -pkcs11module /usr/lib/x86_64-linux-gnu/opensc-pkcs11.so \
#       -key 'pkcs11:object=vimra;type=private' -certs vimra.pem -n vimra
# and -ts URL for an RFC 3161 time stamp from the server named: the only way
# anything here goes onto the network.
#
# Everything is made and checked aside and copied into dist/ only when both
# exes are signed, each file renamed into place: a wrong password, key or
# certificate leaves dist/ as it was.
# VIMRA_PACKAGE_ARCHES, VIMRA_PACKAGE_BUILD, VIMRA_DIST: as for tools/package.sh.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
dist=${VIMRA_DIST:-$root/dist}
say() { echo "sign: $*" >&2; }
die() { say "$*"; exit 1; }
[ $# -gt 0 ] || { say "usage: $0 OSSLSIGNCODE_SIGN_OPTIONS... (such as -pkcs12 FILE -readpass FILE)"; exit 2; }
for tool in osslsigncode openssl python3; do
    command -v "$tool" >/dev/null 2>&1 || die "$tool not found (tools/setup-debian.sh installs it)"
done

# What osslsigncode would only find out after the builds. The files named
# must be there; the digest, input and output are this script's.
token=""
previous=""
for argument; do
    case $previous in
    -pkcs12 | -certs | -spc | -readpass | -ac | -pkcs11module | -pkcs11engine | -CAfile)
        [ -f "$argument" ] || die "no such file: $argument (after $previous)" ;;
    -key) key=$argument ;;
    esac
    case $argument in
    -in | -out | -h | -sigin) die "$argument is this script's to give: leave it out" ;;
    -pkcs11module | -pkcs11engine) token=1 ;;
    esac
    previous=$argument
done
case ${key:-} in
"" | pkcs11:*) ;;
*) [ -n "$token" ] || [ -f "$key" ] || die "no such file: $key (after -key)" ;;
esac

stage=$(mktemp -d "${TMPDIR:-/tmp}/vimra-sign.XXXXXX")
placing=""
trap 'rm -rf "$stage"; [ -z "$placing" ] || rm -f "$placing"' EXIT INT TERM
mkdir "$stage/out"

VIMRA_DIST=$stage/out timeout 3600 "$root/tools/package.sh" >/dev/null

for zip in "$stage"/out/vimra-*.zip; do
    name=$(basename "$zip" .zip)
    python3 "$root/tools/release-zip.py" unpack "$zip" "$stage/$name"
    exe=$stage/$name/vimra.exe
    signed=$stage/$name-signed.exe
    # The foreground, so that a token's PIN can be asked for on the terminal.
    if ! timeout --foreground 600 osslsigncode sign -h sha256 "$@" \
        -in "$exe" -out "$signed" >"$stage/sign.log" 2>&1; then
        say "osslsigncode could not sign the exe of $name.zip; it said:"
        sed 's/^/  /' "$stage/sign.log" >&2
        exit 1
    fi

    signature=$stage/out/$name-signature.pem
    python3 "$root/tools/authenticode.py" extract "$signed" "$signature"
    python3 "$root/tools/authenticode.py" signer "$signature" >"$stage/signer.pem"
    # osslsigncode signs with any certificate; Windows only honours one made
    # for signing code.
    subject=$(openssl x509 -in "$stage/signer.pem" -noout -subject)
    openssl x509 -in "$stage/signer.pem" -noout -ext extendedKeyUsage 2>/dev/null |
        grep -q "Code Signing" ||
        die "the certificate is not for signing code (its extended key usage lacks Code Signing): $subject"
    # What is published must give the signed exe back.
    python3 "$root/tools/authenticode.py" attach "$signature" "$exe" "$stage/attached.exe"
    cmp -s "$stage/attached.exe" "$signed" ||
        die "the signature taken off the signed exe of $name.zip does not give it back when attached"

    python3 "$root/tools/release-zip.py" zip "$stage/out/$name-signed.zip" "$signed"
    (cd "$stage/out" && sha256sum "$name-signed.zip" >"$name-signed.zip.sha256")
    echo "$name: signed by $subject" >>"$stage/signers"
done

mkdir -p "$dist"
for file in "$stage"/out/*; do
    placing=$dist/$(basename "$file").tmp
    cp "$file" "$placing"
    mv "$placing" "$dist/$(basename "$file")"
    placing=""
done
cat "$stage/signers"
(cd "$stage/out" && cat ./*.sha256)
