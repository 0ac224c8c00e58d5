#!/bin/sh
# Signs the release with tools/sign.sh and a throwaway certificate made here
# (its key, certificate and password live in the scratch folder of one run
# and nowhere else), then checks what a user and a maintainer rely on:
# - each signed zip is VERIFIED by tools/verify-release.sh, with and without
#   its detached signature, and so is each unsigned zip; the signature checks
#   against the throwaway authority with osslsigncode verify;
# - a byte changed in the code or the resources after signing, a byte changed
#   in the signature, bytes appended after it, an exe signed over a different
#   build and a signature that is not the published one are each DIFFERENT,
#   each with its own words;
# - bad input to both scripts (no such file, not a zip, a zip of something
#   else, a wrong password, a certificate not for signing code) is refused
#   with its reason, and dist/ is left as it was;
# - a key on a PKCS#11 token signs as well as a key file (SoftHSM's token).
# Leaves the signed x64 exe as SCRATCH_DIR/signed-x64/vimra.exe, for the
# end-to-end row that tests/run-all.sh runs with it under Wine.
# Usage: check_signing.sh SOURCE_DIR SCRATCH_DIR
#   (exit 77: no cross compiler, osslsigncode or openssl)
# VIMRA_PACKAGE_ARCHES: the zips to sign and check, default "x64 arm64".
set -eu

src=$1
work=$2
rm -rf "$work"
for tool in x86_64-w64-mingw32-g++-posix ninja osslsigncode openssl; do
    command -v "$tool" >/dev/null 2>&1 || { echo "skipped: $tool not found"; exit 77; }
done
mkdir -p "$work/keys" "$work/dist"
arches=${VIMRA_PACKAGE_ARCHES:-x64 arm64}
export VIMRA_PACKAGE_ARCHES="$arches" VIMRA_PACKAGE_BUILD="$work/build" \
    VIMRA_DIST="$work/dist" VIMRA_VERIFY_BUILD="$work/verify"
sign=$src/tools/sign.sh
verify=$src/tools/verify-release.sh
keys=$work/keys
dist=$work/dist

status=0
fail() { echo "FAIL: $*"; status=1; }

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

# Runs a command and holds it to its exit status and to words of what it
# says; a verdict (status 0 or 1) must be one line on stdout, a refusal
# (status 2, or 1 from sign.sh) its reason on stderr, and dist/ untouched
# unless the run was meant to write it.
expect() {  # case name, status, words, command...
    name=$1 want=$2 words=$3
    shift 3
    before=$(snapshot)
    set +e
    "$@" >"$work/out" 2>"$work/err"
    got=$?
    set -e
    said=$(cat "$work/out" "$work/err" | grep -v '^verify-release: building ')
    if [ "$got" -ne "$want" ]; then
        fail "$name: exit $got, not $want:"
        echo "$said" | sed 's/^/    /'
        return 0
    fi
    echo "$said" | grep -qF -- "$words" || fail "$name: no \"$words\" in: $said"
    case $1 in
    "$verify")
        if [ "$got" -lt 2 ] && [ "$(grep -c . "$work/out")" -ne 1 ]; then
            fail "$name: not one verdict line: $(cat "$work/out")"
        fi
        [ "$(snapshot)" = "$before" ] || fail "$name: dist/ changed"
        ;;
    "$sign")
        if [ "$got" -ne 0 ]; then
            [ "$(snapshot)" = "$before" ] || fail "$name: dist/ changed"
        fi
        ;;
    esac
    echo "ok $name (exit $got): $(echo "$said" | head -n 3)"
}

# Bad input to the signing script, before anything is in dist/.
signer="-pkcs12 $keys/signer.p12 -readpass $keys/password -n vimra"
# shellcheck disable=SC2086
{
    expect "sign: no such key file" 1 "no such file: $keys/missing.p12" \
        "$sign" -pkcs12 "$keys/missing.p12" -readpass "$keys/password"
    echo "not a key" >"$keys/text.p12"
    expect "sign: not a key file" 1 "osslsigncode could not sign" \
        "$sign" -pkcs12 "$keys/text.p12" -readpass "$keys/password"
    expect "sign: wrong password" 1 "Wrong password" \
        "$sign" -pkcs12 "$keys/signer.p12" -readpass "$keys/wrong-password"
    expect "sign: certificate not for code" 1 "not for signing code" \
        "$sign" -pkcs12 "$keys/web-server.p12" -readpass "$keys/password"
    expect "sign: its own options" 1 "-out is this script's to give" \
        "$sign" $signer -out "$work/elsewhere.exe"
    [ -z "$(ls -A "$dist")" ] || fail "a refused signing left files in dist/: $(ls "$dist")"

    expect "sign" 0 "signed by" "$sign" $signer
}
# shellcheck disable=SC2086
set -- $arches
first=$1

for arch in $arches; do
    case $arch in
    x64) suffix=win64 ;;
    arm64) suffix=win-arm64 ;;
    *) echo "FAIL: unknown architecture $arch"; exit 1 ;;
    esac
    set -- "$dist"/vimra-*-"$suffix".zip
    [ -f "$1" ] || { fail "no $suffix zip in $dist"; continue; }
    base=${1%.zip}
    eval "base_$arch=\$base"
    for file in "$base.zip" "$base.zip.sha256" "$base-signed.zip" "$base-signed.zip.sha256" \
        "$base-signature.pem"; do
        [ -s "$file" ] || fail "$(basename "$file") is missing or empty"
    done
    (cd "$dist" && sha256sum -c --quiet "${base##*/}-signed.zip.sha256") ||
        fail "the signed $suffix zip's .sha256 does not match it"
    python3 "$src/tools/release-zip.py" unpack "$base-signed.zip" "$work/signed-$arch"
    timeout 60 osslsigncode verify -CAfile "$keys/signer.pem" -in "$work/signed-$arch/vimra.exe" \
        >"$work/osslsigncode.log" 2>&1 || {
        fail "osslsigncode verify rejects the signed $suffix exe:"
        sed 's/^/    /' "$work/osslsigncode.log"
    }
    expect "$arch: signed zip" 0 "VERIFIED" "$verify" "$base-signed.zip"
    expect "$arch: signed zip, its signature" 0 "with the signature given" \
        "$verify" "$base-signed.zip" "$base-signature.pem"
    expect "$arch: unsigned zip" 0 "VERIFIED" "$verify" "$base.zip"
    expect "$arch: unsigned zip, the signature" 0 "intact and made over this build" \
        "$verify" "$base.zip" "$base-signature.pem"
done
[ $status -eq 0 ] || exit 1

# Tampering, on the first architecture's zips: each case made from the good
# files by one change, packed as a release zip again.
eval "base=\$base_$first"
tampered=$work/tampered
mkdir -p "$tampered"
change() {  # what, exe in, exe out
    python3 - "$src/tools" "$@" <<'PY'
import sys

# No compiled copy left in the checkout.
sys.dont_write_bytecode = True
sys.path.insert(0, sys.argv[1])
import authenticode as a

what, source, target = sys.argv[2:5]
with open(source, "rb") as f:
    data = bytearray(f.read())
pe = a.Pe(bytes(data))
if what in (".text", ".rsrc"):
    name, at, size = next(s for s in pe.sections if s[0] == what)
    data[at + size // 2] ^= 0x01
elif what == "signature":
    der = a.certificate_table(bytes(data), pe)[0]
    value = a.Signature(der).signature_value
    data[pe.table_at + 8 + der.rindex(value) + len(value) // 2] ^= 0x01
elif what == "append":
    data += b"appended"
with open(target, "wb") as f:
    f.write(data)
PY
}
pack() { python3 "$src/tools/release-zip.py" zip "$tampered/$1.zip" "$tampered/$1.exe"; }
signed_exe=$work/signed-$first/vimra.exe
for what in .text .rsrc signature append; do
    change "$what" "$signed_exe" "$tampered/${what#.}.exe"
    pack "${what#.}"
done
python3 "$src/tools/release-zip.py" unpack "$base.zip" "$tampered/unsigned"
change .text "$tampered/unsigned/vimra.exe" "$tampered/other-build.exe"
# shellcheck disable=SC2086
timeout 60 osslsigncode sign -h sha256 $signer -in "$tampered/other-build.exe" \
    -out "$tampered/signed-other-build.exe" >/dev/null
mv "$tampered/signed-other-build.exe" "$tampered/other-build.exe"
pack other-build
python3 "$src/tools/authenticode.py" extract "$tampered/other-build.exe" "$tampered/other-build.pem"

expect "code changed after signing" 1 "changed after signing, in code (.text)" \
    "$verify" "$tampered/text.zip"
expect "resources changed after signing" 1 "changed after signing, in resources (.rsrc)" \
    "$verify" "$tampered/rsrc.zip"
expect "signature changed" 1 "its signature is damaged: its signature value does not check out" \
    "$verify" "$tampered/signature.zip"
expect "bytes appended" 1 "8 bytes are appended after its signature" \
    "$verify" "$tampered/append.zip"
expect "signed over another build" 1 "it was signed over a different build: it differs from" \
    "$verify" "$tampered/other-build.zip"
expect "not the published signature" 1 "its signature is not the one given" \
    "$verify" "$tampered/other-build.zip" "$base-signature.pem"
expect "a signature over another build given" 1 "the signature given was made over a different build" \
    "$verify" "$base.zip" "$tampered/other-build.pem"

# Bad input to the checking script.
printf 'not a zip\n' >"$tampered/text-file.zip"
python3 - "$tampered/other.zip" <<'PY'
import sys
import zipfile

with zipfile.ZipFile(sys.argv[1], "w") as z:
    z.writestr("setup.exe", b"MZ")
    z.writestr("notes.txt", b"something else\r\n")
PY
mkdir -p "$tampered/not-a-program"
for text in readme.txt LICENSE.txt vimra.exe; do echo "text" >"$tampered/not-a-program/$text"; done
(cd "$tampered/not-a-program" && python3 -c '
import sys, zipfile
with zipfile.ZipFile("../not-a-program.zip", "w") as z:
    for name in sys.argv[1:]:
        z.write(name)' readme.txt LICENSE.txt vimra.exe)
expect "verify: no such file" 2 "no such file: $tampered/missing.zip" "$verify" "$tampered/missing.zip"
expect "verify: not a zip" 2 "text-file.zip is not a zip file" "$verify" "$tampered/text-file.zip"
expect "verify: a zip of something else" 2 "other.zip is not a vimra release zip: it holds notes.txt, setup.exe" \
    "$verify" "$tampered/other.zip"
expect "verify: not a program" 2 "not-a-program.zip: vimra.exe: not a Windows program" "$verify" "$tampered/not-a-program.zip"
expect "verify: no such signature" 2 "no such file: $tampered/missing.pem" \
    "$verify" "$base-signed.zip" "$tampered/missing.pem"
expect "verify: not a signature" 2 "not a PKCS#7 signature" "$verify" "$base-signed.zip" "$tampered/text-file.zip"

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
    expect "sign: key on a token" 0 "signed by" "$sign" -pkcs11module "$module" \
        -key "pkcs11:token=vimra-throwaway;object=signer;type=private" -readpass "$keys/pin" \
        -certs "$keys/signer.pem" -n vimra
    for arch in $arches; do
        eval "base=\$base_$arch"
        expect "$arch: signed on the token" 0 "with the signature given" \
            "$verify" "$base-signed.zip" "$base-signature.pem"
    done
else
    echo "the token case skipped: softhsm2 not installed (tools/setup-debian.sh installs it)"
fi

# The signed x64 exe for the end-to-end row, where tests/run-all.sh finds it.
[ -f "$work/signed-x64/vimra.exe" ] || [ "$first" != x64 ] || fail "no signed x64 exe"
[ -z "$(find "$dist" -name '*.tmp')" ] || fail "dist/ holds unfinished files"
exit $status
