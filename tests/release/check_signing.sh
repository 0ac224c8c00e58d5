#!/bin/sh
# The release of one architecture, made and signed by tools/release.py with
# a throwaway certificate made here (its key, certificate and password live
# in the scratch folder of one run and nowhere else), then checked as users
# and maintainers rely on it:
# - the unsigned zip is what a user unpacks: its texts in CRLF lines with no
#   bare LF, readme.txt free of Markdown marks; each .sha256 is true to its
#   zip, and a second run makes the same zip byte for byte;
# - the signed zip and the unsigned one are each VERIFIED against the source
#   (the exe byte for byte, the texts what this tree makes, nothing else in
#   the zip), with and without the detached signature; the signature checks
#   against the throwaway authority with osslsigncode verify;
# - a byte changed in the code or the resources after signing, a byte changed
#   in the signature, bytes appended after it, an exe signed over a different
#   build and a signature that is not the published one are each DIFFERENT,
#   each with its own words;
# - bad input to signing and verifying (no such file, not a zip, a zip of
#   something else, a wrong password, a certificate not for signing code) is
#   refused with its reason, and dist/ is left as it was;
# - a key on a PKCS#11 token signs as well as a key file (SoftHSM's token).
# Leaves the signed exe as SCRATCH_DIR/signed-ARCH/vimra.exe: tests/run-all.sh
# runs an end-to-end row with the x64 one under Wine.
# Usage: check_signing.sh SOURCE_DIR ARCH SCRATCH_DIR
#   (exit 77: no cross compiler, osslsigncode or openssl)
set -eu

src=$1
arch=$2
scratch=$3
work=$scratch/$arch
release=$src/tools/release.py
rm -rf "$work" "$scratch/signed-$arch"
for tool in x86_64-w64-mingw32-g++-posix ninja osslsigncode openssl; do
    command -v "$tool" >/dev/null 2>&1 || { echo "skipped: $tool not found"; exit 77; }
done
keys=$work/keys
dist=$work/dist
tampered=$work/tampered
mkdir -p "$keys" "$dist" "$tampered"
export VIMRA_PACKAGE_ARCHES="$arch" VIMRA_PACKAGE_BUILD="$work/build" \
    VIMRA_DIST="$dist" VIMRA_VERIFY_BUILD="$work/verify"

status=0
fail() { echo "FAIL ($arch): $*"; status=1; }

# A self-signed certificate for signing code, one for serving web sites, and
# the password of the key file: good for two days, never used after this run.
certificate() {  # name, purpose
    timeout 60 openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=vimra throwaway $1" \
        -addext "extendedKeyUsage=$2" -keyout "$keys/$1.key" -out "$keys/$1.pem" 2>/dev/null
    timeout 60 openssl pkcs12 -export -inkey "$keys/$1.key" -in "$keys/$1.pem" \
        -passout "file:$keys/password" -out "$keys/$1.p12"
}
timeout 60 openssl rand -hex 16 >"$keys/password"
echo "not the password" >"$keys/wrong-password"
certificate signer codeSigning
certificate web-server serverAuth

# A listing of dist/ with every file's digest: what "left as it was" means.
snapshot() { (cd "$dist" && find . -type f | LC_ALL=C sort | xargs -r sha256sum); }

# Runs tools/release.py and holds it to its exit status and to words of what
# it says; a verdict (status 0 or 1) must be one line on stdout, and dist/
# untouched unless the run was a signing meant to write it.
expect() {  # case name, status, words, tools/release.py command and arguments...
    name=$1 want=$2 words=$3
    shift 3
    before=$(snapshot)
    set +e
    "$release" "$@" >"$work/out" 2>"$work/err"
    got=$?
    set -e
    said=$(cat "$work/out" "$work/err" | grep -v '^verify: building ')
    if [ "$got" -ne "$want" ]; then
        fail "$name: exit $got, not $want:"
        echo "$said" | sed 's/^/    /'
        return 0
    fi
    echo "$said" | grep -qF -- "$words" || fail "$name: no \"$words\" in: $said"
    if [ "$1" = verify ] && [ "$got" -lt 2 ] && [ "$(grep -c . "$work/out")" -ne 1 ]; then
        fail "$name: not one verdict line: $(cat "$work/out")"
    fi
    if [ "$1" = verify ] || [ "$got" -ne 0 ]; then
        [ "$(snapshot)" = "$before" ] || fail "$name: dist/ changed"
    fi
    echo "ok $name (exit $got): $(echo "$said" | head -n 3)"
}

# Bad input to signing, before anything is in dist/.
signer="-pkcs12 $keys/signer.p12 -readpass $keys/password -n vimra"
echo "not a key" >"$keys/text.p12"
# shellcheck disable=SC2086
{
    expect "sign: no such key file" 2 "no such file: $keys/missing.p12" \
        sign -pkcs12 "$keys/missing.p12" -readpass "$keys/password"
    expect "sign: not a key file" 2 "osslsigncode could not sign" \
        sign -pkcs12 "$keys/text.p12" -readpass "$keys/password"
    expect "sign: wrong password" 2 "Wrong password" \
        sign -pkcs12 "$keys/signer.p12" -readpass "$keys/wrong-password"
    expect "sign: certificate not for code" 2 "not for signing code" \
        sign -pkcs12 "$keys/web-server.p12" -readpass "$keys/password"
    expect "sign: its own options" 2 "-out is this script's to give" \
        sign $signer -out "$work/elsewhere.exe"
    [ -z "$(ls -A "$dist")" ] || fail "a refused signing left files in dist/: $(ls "$dist")"

    expect "sign" 0 "signed by" sign $signer
}

set -- "$dist"/vimra-*-signed.zip
base=${1%-signed.zip}
# The names the README gives users to tell the two zips apart by.
case $arch in x64) named=win64 ;; *) named=win-arm64 ;; esac
case ${base##*/} in vimra-*-"$named") ;; *) fail "the $arch zip is named ${base##*/}.zip, not …-$named.zip" ;; esac
for file in "$base.zip" "$base.zip.sha256" "$base-signed.zip" "$base-signed.zip.sha256" \
    "$base-signature.pem"; do
    [ -s "$file" ] || fail "$(basename "$file") is missing or empty"
done
(cd "$dist" && sha256sum -c --quiet "${base##*/}.zip.sha256" "${base##*/}-signed.zip.sha256") ||
    fail "a .sha256 does not match its zip"
first=$(sha256sum <"$base.zip")

# The texts as a user's Notepad reads them.
/usr/bin/python3 -m zipfile -e "$base.zip" "$work/unsigned"
for text in readme.txt LICENSE.txt; do
    # Every LF must follow a CR: count LFs, then CR LF pairs.
    lf=$(tr -cd '\n' <"$work/unsigned/$text" | wc -c)
    crlf=$(grep -c "$(printf '\r')\$" "$work/unsigned/$text" || true)
    [ "$lf" -gt 0 ] && [ "$lf" -eq "$crlf" ] || fail "$text: $lf lines, $crlf of them end in CR LF"
done
if grep -n -e '!\[' -e '](' -e '`' -e '<!--' -e '^|' "$work/unsigned/readme.txt"; then
    fail "readme.txt keeps Markdown marks (lines above)"
fi

/usr/bin/python3 -m zipfile -e "$base-signed.zip" "$scratch/signed-$arch"
timeout 60 osslsigncode verify -CAfile "$keys/signer.pem" -in "$scratch/signed-$arch/vimra.exe" \
    >"$work/osslsigncode.log" 2>&1 || {
    fail "osslsigncode verify rejects the signed exe:"
    sed 's/^/    /' "$work/osslsigncode.log"
}
expect "signed zip" 0 "VERIFIED" verify "$base-signed.zip"
expect "signed zip, its signature" 0 "with the signature given" \
    verify "$base-signed.zip" "$base-signature.pem"
expect "unsigned zip" 0 "VERIFIED" verify "$base.zip"
expect "unsigned zip, the signature" 0 "intact and made over this build" \
    verify "$base.zip" "$base-signature.pem"
[ $status -eq 0 ] || exit 1

# Tampering: each case made from the good files by one change, packed as a
# release zip again.
change() {  # what, exe in, exe out
    /usr/bin/python3 -B - "$src/tools" "$@" <<'PY'
import sys

sys.path.insert(0, sys.argv[1])
import release

what, source, target = sys.argv[2:5]
data = bytearray(release.read(source))
if what in (".text", ".rsrc"):
    pe = release.load_pe(bytes(data))
    section = next(s for s in pe.sections if s.Name.rstrip(b"\0") == what.encode())
    data[section.PointerToRawData + section.SizeOfRawData // 2] ^= 0x01
elif what == "signature":
    value = release.take_off(source, target).value
    data[bytes(data).index(value) + len(value) // 2] ^= 0x01
elif what == "append":
    data += b"appended"
release.write(target, bytes(data))
PY
}
pack() { "$release" zip "$tampered/$1.zip" "$tampered/$1.exe"; }
for what in .text .rsrc signature append; do
    change "$what" "$scratch/signed-$arch/vimra.exe" "$tampered/${what#.}.exe"
    pack "${what#.}"
done
change .text "$work/unsigned/vimra.exe" "$tampered/unsigned-other-build.exe"
# shellcheck disable=SC2086
timeout 60 osslsigncode sign -h sha256 $signer -in "$tampered/unsigned-other-build.exe" \
    -out "$tampered/other-build.exe" >/dev/null
pack other-build
timeout 60 osslsigncode extract-signature -pem -in "$tampered/other-build.exe" \
    -out "$tampered/other-build.pem" >/dev/null

expect "code changed after signing" 1 "changed after signing, in code (.text)" \
    verify "$tampered/text.zip"
expect "resources changed after signing" 1 "changed after signing, in resources (.rsrc)" \
    verify "$tampered/rsrc.zip"
expect "signature changed" 1 "its signature is damaged: its signature value does not check out" \
    verify "$tampered/signature.zip"
expect "bytes appended" 1 "8 bytes are appended after its signature" \
    verify "$tampered/append.zip"
expect "signed over another build" 1 "it was signed over a different build: it differs from" \
    verify "$tampered/other-build.zip"
expect "not the published signature" 1 "its signature is not the one given" \
    verify "$tampered/other-build.zip" "$base-signature.pem"
expect "a signature over another build given" 1 "the signature given was made over a different build" \
    verify "$base.zip" "$tampered/other-build.pem"

# Bad input to verifying.
printf 'not a zip\n' >"$tampered/text-file.zip"
mkdir "$tampered/other" "$tampered/not-a-program"
printf 'MZ' >"$tampered/other/setup.exe"
printf 'something else\r\n' >"$tampered/other/notes.txt"
for text in readme.txt LICENSE.txt vimra.exe; do echo "text" >"$tampered/not-a-program/$text"; done
(cd "$tampered/other" && /usr/bin/python3 -m zipfile -c ../other.zip setup.exe notes.txt)
(cd "$tampered/not-a-program" &&
    /usr/bin/python3 -m zipfile -c ../not-a-program.zip readme.txt LICENSE.txt vimra.exe)
expect "verify: no such file" 2 "no such file: $tampered/missing.zip" verify "$tampered/missing.zip"
expect "verify: not a zip" 2 "text-file.zip is not a zip file" verify "$tampered/text-file.zip"
expect "verify: a zip of something else" 2 "other.zip is not a vimra release zip: it holds notes.txt, setup.exe" \
    verify "$tampered/other.zip"
expect "verify: not a program" 2 "not-a-program.zip: vimra.exe: not a Windows program" \
    verify "$tampered/not-a-program.zip"
expect "verify: no such signature" 2 "no such file: $tampered/missing.pem" \
    verify "$base-signed.zip" "$tampered/missing.pem"
expect "verify: not a signature" 2 "not a PKCS#7 signature" verify "$base-signed.zip" "$tampered/text-file.zip"

# The key on a hardware token instead of in a file: SoftHSM's software
# token, kept in the scratch folder, through the same PKCS#11 module option
# a real token's module is given by.
module=/usr/lib/softhsm/libsofthsm2.so
if command -v softhsm2-util >/dev/null 2>&1 && [ -f "$module" ]; then
    export SOFTHSM2_CONF="$keys/softhsm2.conf"
    mkdir "$keys/tokens"
    printf 'directories.tokendir = %s\nobjectstore.backend = file\n' "$keys/tokens" >"$SOFTHSM2_CONF"
    timeout 60 openssl rand -hex 8 >"$keys/pin"
    pin=$(cat "$keys/pin")
    timeout 60 softhsm2-util --init-token --free --label vimra-throwaway --pin "$pin" \
        --so-pin "$pin" >/dev/null
    timeout 60 openssl pkcs8 -topk8 -nocrypt -in "$keys/signer.key" -out "$keys/signer.p8"
    timeout 60 softhsm2-util --import "$keys/signer.p8" --token vimra-throwaway --label signer \
        --id 01 --pin "$pin" >/dev/null
    expect "sign: key on a token" 0 "signed by" sign -pkcs11module "$module" \
        -key "pkcs11:token=vimra-throwaway;object=signer;type=private" -readpass "$keys/pin" \
        -certs "$keys/signer.pem" -n vimra
    expect "signed on the token" 0 "with the signature given" \
        verify "$base-signed.zip" "$base-signature.pem"
else
    echo "the token case skipped: softhsm2 not installed (tools/setup-debian.sh installs it)"
fi

# The zip made again, a while after the first: the same bytes.
VIMRA_DIST=$work/again "$release" package >/dev/null
[ "$(sha256sum <"$work/again/${base##*/}.zip")" = "$first" ] || fail "a second run made a different zip"
[ -z "$(find "$dist" -name '*.tmp')" ] || fail "dist/ holds unfinished files"
exit $status
