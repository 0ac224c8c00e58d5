#!/bin/sh
# Says whether a release zip holds exactly this source's build. It rebuilds
# the exe of the zip's architecture from this checkout, then:
# - an unsigned exe must be the rebuilt one, byte for byte;
# - a signed one must be the rebuilt one with the zip's signature attached,
#   byte for byte, and that signature intact (made by its certificate's key
#   over this build). Whose certificate it is, is for Windows to show
#   (Properties, Digital Signatures); with SIGNATURE, the detached signature
#   published with the release, the zip's must also be that one.
# readme.txt and LICENSE.txt must be what this tree makes.
# Prints one line, VERIFIED or DIFFERENT, the latter with what differs: the
# code, the resources, the headers, the signature, bytes after the signature.
# Usage: tools/verify-release.sh ZIP [SIGNATURE]
# Exit 0: verified; 1: different; 2: bad input, or a build that failed.
# VIMRA_VERIFY_BUILD: where the exes are rebuilt (default build/verify).
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
bad() { echo "verify-release: $*" >&2; exit 2; }
[ $# -eq 1 ] || [ $# -eq 2 ] || bad "usage: $0 ZIP [SIGNATURE]"
zip=$1
signature=${2:-}
[ -f "$zip" ] || bad "no such file: $zip"
[ -z "$signature" ] || [ -f "$signature" ] || bad "no such file: $signature"
for tool in python3 openssl; do
    command -v "$tool" >/dev/null 2>&1 || bad "$tool not found (tools/setup-debian.sh installs it)"
done

work=$(mktemp -d "${TMPDIR:-/tmp}/vimra-verify.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM
mkdir "$work/tree"

python3 "$root/tools/release-zip.py" unpack "$zip" "$work/zip" 2>"$work/why" ||
    bad "$(sed 's/^release-zip.py: //' "$work/why")"
arch=$(python3 "$root/tools/authenticode.py" machine "$work/zip/vimra.exe" 2>"$work/why") ||
    bad "$(basename "$zip"): $(cat "$work/why")"
case $arch in
x64) option="" ;;
arm64) option=--arm64 ;;
esac
build=${VIMRA_VERIFY_BUILD:-$root/build/verify}/$arch
echo "verify-release: building the $arch exe in $build" >&2
# shellcheck disable=SC2086
rebuilt=$(timeout 3600 "$root/tools/build-exe.sh" $option "$build") || bad "the $arch build failed"
python3 "$root/tools/release-zip.py" texts "$work/tree"

python3 - "$root/tools" "$zip" "$work" "$rebuilt" "$signature" <<'PY'
import os
import shutil
import subprocess
import sys

# No compiled copy left in the checkout.
sys.dont_write_bytecode = True
sys.path.insert(0, sys.argv[1])
import authenticode as a

archive, work, rebuilt, published = sys.argv[2:6]
name = os.path.basename(archive)


def refuse(why):
    print("verify-release: %s: %s" % (name, why), file=sys.stderr)
    sys.exit(2)


def phrase(parts):
    return " and ".join(parts) or "its bytes"


exe = os.path.join(work, "zip", "vimra.exe")
got, want = a.read(exe), a.read(rebuilt)
pe, source_pe = a.Pe(got), a.Pe(want)
build = "this source's %s build" % {"x64": "x64", "arm64": "ARM64"}[a.MACHINES[source_pe.machine]]
source = a.digest(want, source_pe)
try:
    given = a.Signature(a.read_signature(a.read(published))) if published else None
except a.Unfit as why:
    refuse("%s: %s" % (os.path.basename(published), why))

found = []  # what differs, in words
held = ""  # what the exe is, when nothing differs
if not pe.signed:
    if got != want:
        found.append("its vimra.exe differs from %s in %s" % (build, phrase(a.differences(got, want))))
    held = "vimra.exe is %s, byte for byte, unsigned" % build
    if given:
        problems = given.problems()
        if problems:
            found.append("the signature given is damaged: " + "; ".join(problems))
        elif given.file_digest != source:
            found.append("the signature given was made over a different build")
        held += "; the signature given is intact and made over this build"
else:
    try:
        der, hidden = a.certificate_table(got, pe)
        signature = a.Signature(der)
    except a.Unfit as why:
        print("DIFFERENT: %s: its vimra.exe's signature cannot be read: %s" % (name, why))
        sys.exit(1)
    appended = pe.length - (pe.table_at + pe.table_size)
    if appended > 0:
        found.append("%d bytes are appended after its signature" % appended)
    if hidden > 0:
        found.append("%d bytes are hidden in its signature table after the signature" % hidden)
    if given and given.der != der:
        found.append("its signature is not the one given (%s)" % os.path.basename(published))
    problems = signature.problems()
    if problems:
        found.append("its signature is damaged: " + "; ".join(problems))
    parts = a.differences(got, want)
    if parts:
        if signature.file_digest == a.digest(got, pe):
            found.append("it was signed over a different build: it differs from %s in %s"
                         % (build, phrase(parts)))
        elif signature.file_digest == source:
            found.append("it was changed after signing, in %s: its signature is over %s, "
                         "its exe is not" % (phrase(parts), build))
        else:
            found.append("it differs from %s in %s, and its signature is over neither"
                         % (build, phrase(parts)))
    elif signature.file_digest != source and not problems:
        found.append("its signature was made over a different build")
    if not found:
        if shutil.which("osslsigncode") is None:
            refuse("osslsigncode not found (tools/setup-debian.sh installs it)")
        attached = os.path.join(work, "attached.exe")
        try:
            a.attach(der, rebuilt, attached)
        except (a.Unfit, subprocess.TimeoutExpired) as why:
            refuse(str(why))
        if a.read(attached) != got:
            found.append("%s with its signature attached is not its vimra.exe byte for byte"
                         % build)
        cert = a.certificate_pem(signature.signer_certificate())
        subject = subprocess.run(["openssl", "x509", "-noout", "-subject", "-nameopt", "oneline"],
                                 input=cert, capture_output=True, timeout=a.TOOL_SECONDS)
        signer = subject.stdout.decode().strip().replace("subject=", "", 1)
        held = ("vimra.exe is %s with its signature attached, byte for byte, signed by %s"
                % (build, signer))
        if given:
            held += " with the signature given"

for text in ("readme.txt", "LICENSE.txt"):
    if a.read(os.path.join(work, "zip", text)) != a.read(os.path.join(work, "tree", text)):
        found.append("its %s is not what this tree makes" % text)

if found:
    print("DIFFERENT: %s: %s" % (name, "; ".join(found)))
    sys.exit(1)
print("VERIFIED: %s: %s; readme.txt and LICENSE.txt are what this tree makes" % (name, held))
PY
