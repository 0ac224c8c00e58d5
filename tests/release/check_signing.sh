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
# - tampering (code, resources or signature changed after signing, bytes
#   appended, an exe signed over another build, not the published signature)
#   is DIFFERENT and bad or hostile input to verifying (a zip's control codes,
#   encryption, sizes, methods or sections, a deep or huge signature) refused,
#   each in its own words, one line of plain text, in seconds; bad input to
#   signing (wrong password, certificate not for code) too, dist/ unchanged;
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
fail() { printf 'FAIL (%s): %s\n' "$arch" "$*"; status=1; }

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

# Runs tools/release.py, within $seconds if set, and holds it to its exit
# status and words; a verify to one line of plain text (a verdict on stdout)
# whatever the zip holds, and dist/ untouched unless a signing is to write it.
expect() {  # case name, status, words, tools/release.py command and arguments...
    name=$1 want=$2 words=$3
    shift 3
    before=$(snapshot)
    set +e
    ${seconds:+timeout "$seconds"} "$release" "$@" >"$work/out" 2>"$work/err"
    got=$?
    set -e
    said=$(cat "$work/out" "$work/err" | grep -v '^verify: building ' || true)
    if [ "$got" -ne "$want" ]; then
        fail "$name: exit $got, not $want:"
        printf '%s\n' "$said" | sed 's/^/    /' | cat -v
        return 0
    fi
    printf '%s\n' "$said" | grep -qF -- "$words" || fail "$name: no \"$words\" in: $said"
    if [ "$1" = verify ] && { [ "$(printf '%s\n' "$said" | grep -c .)" -ne 1 ] ||
        [ "$(grep -c . "$work/out")" -ne $((got < 2)) ] ||
        printf '%s' "$said" | LC_ALL=C grep -q '[[:cntrl:]]'; }; then
        fail "$name: not one line of plain text: $(printf '%s\n' "$said" | cat -v)"
    fi
    if [ "$1" = verify ] || [ "$got" -ne 0 ]; then
        [ "$(snapshot)" = "$before" ] || fail "$name: dist/ changed"
    fi
    printf 'ok %s (exit %s): %s\n' "$name" "$got" "$(printf '%s\n' "$said" | head -n 3)"
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
expect "signed zip" 0 "this source's build plus some well-formed signature" verify "$base-signed.zip"
expect "signed zip, its signature" 0 "with the signature given" \
    verify "$base-signed.zip" "$base-signature.pem"
expect "unsigned zip" 0 "VERIFIED" verify "$base.zip"
expect "unsigned zip, the signature" 0 "intact and made over this build" \
    verify "$base.zip" "$base-signature.pem"
[ $status -eq 0 ] || exit 1

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

# Tampering, bad input and hostile input, as anyone may publish beside a
# release: each row a zip or a signature made here, most from the good files
# by one change, the exit status it must get and words of its one line; each
# in seconds and little memory, as a zip is refused before it is inflated.
/usr/bin/python3 -B - "$src/tools" "$base" "$tampered" "$signer" <<'PY' >"$tampered/rows"
import sys
import zipfile

sys.path.insert(0, sys.argv[1])
import pefile
import release
from asn1crypto import cms, core, x509

base, out, signer = sys.argv[2], sys.argv[3], sys.argv[4].split()
entries, signed = release.unpack(base + ".zip"), release.unpack(base + "-signed.zip")["vimra.exe"]
signature = release.Signature(release.read(base + "-signature.pem"))
middle = {s.Name.rstrip(b"\0"): s.PointerToRawData + s.SizeOfRawData // 2
          for s in release.load_pe(signed).sections}


def flipped(data, at):
    return data[:at] + bytes([data[at] ^ 1]) + data[at + 1:]


def zipped(name, exe, entry="vimra.exe", **record):
    """`exe` as `entry` of a zip beside the texts, its central directory record forged."""
    with zipfile.ZipFile("%s/%s" % (out, name), "w") as z:
        for text in ("LICENSE.txt", "readme.txt"):
            z.writestr(text, entries[text])
        info = zipfile.ZipInfo(entry)
        z.writestr(info, exe)
        for field, value in record.items():
            setattr(info, field, value)
    return name


release.write(out + "/unsigned-other-build.exe", flipped(entries["vimra.exe"], middle[b".text"]))
release.run(["osslsigncode", "sign", "-h", "sha256"] + signer +
            ["-in", out + "/unsigned-other-build.exe", "-out", out + "/other-build.exe"])
release.take_off(out + "/other-build.exe", out + "/other-build.pem")
release.write(out + "/text-file.zip", b"not a zip\n")
pe = pefile.PE(data=entries["vimra.exe"])
pe.OPTIONAL_HEADER.NumberOfRvaAndSizes = 4
few = pe.write()
pe.OPTIONAL_HEADER.NumberOfRvaAndSizes = 16
pe.sections[1].PointerToRawData = pe.sections[0].PointerToRawData
# The published signature without the digest its signer signs; then with its
# issuer's name, as its certificate and its signer give it, 1,000 deep under an
# attribute type of no known name (the arc kept for examples), read as it comes.
content = cms.ContentInfo.load(signature.der)
for attribute in content["content"]["signer_infos"][0]["signed_attrs"]:
    if attribute["type"].native == "message_digest":
        attribute["values"] = []
release.write(out + "/no-digest.der", content.dump(force=True))
nesting = core.Null().dump()
for _ in range(1000):
    nesting = core.Sequence(contents=nesting).dump()
nesting = core.Sequence(contents=core.ObjectIdentifier("2.999").dump() + nesting).dump()
issuer = x509.Name.load(core.Sequence(contents=core.Set(contents=nesting).dump()).dump())
content = cms.ContentInfo.load(signature.der)
content["content"]["signer_infos"][0]["sid"].chosen["issuer"] = issuer
content["content"]["certificates"][0].chosen["tbs_certificate"]["issuer"] = issuer
release.write(out + "/nested.der", content.dump(force=True))
# vimra.exe's name in the central directory, its record's flags 37 bytes before: UTF-8, and it is not.
utf8 = bytearray(release.read(out + "/" + zipped("utf8.zip", signed)))
at = utf8.rindex(b"vimra.exe")
utf8[at], utf8[at - 37] = 0xFF, utf8[at - 37] | 0x08
release.write(out + "/utf8.zip", bytes(utf8))
# 4 MB of base64, which a reader in time square to its lines took minutes over.
release.write(out + "/oversize.pem", b"-----BEGIN PKCS7-----\n" + (b"A" * 64 + b"\n") * (1 << 16))

for status, words, *files in [
    (1, "changed after signing, in code (.text)", zipped("text.zip", flipped(signed, middle[b".text"]))),
    (1, "changed after signing, in resources (.rsrc)", zipped("rsrc.zip", flipped(signed, middle[b".rsrc"]))),
    (1, "its signature is damaged: its signature value does not check out",
     zipped("signature.zip", flipped(signed, signed.index(signature.value) + len(signature.value) // 2))),
    (1, "8 bytes are appended after its signature", zipped("append.zip", signed + b"appended")),
    (1, "signed over a different build", zipped("other-build.zip", release.read(out + "/other-build.exe"))),
    (1, "its signature is not the one given", "other-build.zip", base + "-signature.pem"),
    (1, "the signature given was made over a different build", base + ".zip", "other-build.pem"),
    (2, "no such file: %s/missing.zip" % out, "missing.zip"),
    (2, "text-file.zip is not a zip file", "text-file.zip"),
    (2, "it holds LICENSE.txt, readme.txt, setup.exe", zipped("other.zip", b"MZ", "setup.exe")),
    (2, "not-a-program.zip: vimra.exe: not a Windows program", zipped("not-a-program.zip", b"text\n")),
    (2, "no such file: %s/missing.pem" % out, base + "-signed.zip", "missing.pem"),
    (2, "not a PKCS#7 signature", base + "-signed.zip", "text-file.zip"),
    (2, r"holds \x1b[2K\rVERIFIED: vimra", zipped("control.zip", signed, "\x1b[2K\rVERIFIED: vimra\x1b[8m")),
    (2, "vimra.exe is encrypted", zipped("encrypted.zip", signed, flag_bits=1)),
    (2, "utf8.zip cannot be unpacked: 'utf-8' codec", "utf8.zip"),
    (2, "cannot be unpacked: Error -3", zipped("deflate.zip", b"\xff" * 64, compress_type=8)),
    (2, "compressed by method 9", zipped("method.zip", signed, compress_type=9)),
    (2, "too few data directories", zipped("directories.zip", few)),
    (1, "its signed attributes do not match", base + ".zip", "no-digest.der"),
    (2, "over the limit of 64 KiB", zipped("gigabyte.zip", signed, file_size=1 << 30)),
    (2, "sections overlap", zipped("overlap.zip", pe.write())),
    (2, "over the limit of 16 KiB", base + ".zip", "oversize.pem"),
    (2, "not a PKCS#7 signature", base + ".zip", "nested.der"),
]:
    print("|".join([str(status), words] + [f if "/" in f else "%s/%s" % (out, f) for f in files]))
PY
seconds=30
while IFS='|' read -r want words zip signature; do
    expect "${zip##*/} ${signature##*/}" "$want" "$words" verify "$zip" ${signature:+"$signature"}
done <"$tampered/rows"

# The zip made again, a while after the first: the same bytes.
VIMRA_DIST=$work/again "$release" package >/dev/null
[ "$(sha256sum <"$work/again/${base##*/}.zip")" = "$first" ] || fail "a second run made a different zip"
[ -z "$(find "$dist" -name '*.tmp')" ] || fail "dist/ holds unfinished files"
exit $status
