#!/usr/bin/python3
"""The release: its zips, their signatures, and the check of one against the source.

    tools/release.py package                the zip of each architecture, and its SHA-256
    tools/release.py sign OPTIONS...         those, a signed zip of each and the exe's signature
                                             alone; OPTIONS are osslsigncode sign's
    tools/release.py verify ZIP [SIGNATURE]  whether ZIP holds exactly this source's build
    tools/release.py build ARCH DIR          the release exe of x64 or arm64 built in DIR: its path
    tools/release.py describe EXE            the machine, flags, Windows version and DLLs of EXE
    tools/release.py zip ZIP EXE             EXE packed as a release zip

VIMRA_PACKAGE_ARCHES: the zips to make (default "x64 arm64"); VIMRA_PACKAGE_BUILD
(default build/package), VIMRA_DIST (dist), VIMRA_VERIFY_BUILD (build/verify).
Exit 0: done or VERIFIED; 1: DIFFERENT; 2: refused, with the reason on stderr.
Debian's pefile and asn1crypto read programs and signatures; osslsigncode
takes a signature off and attaches it, openssl checks it against its own certificate.
"""
import collections
import hashlib
import os
import re
import subprocess
import sys
import tempfile
import zipfile

try:
    import pefile
    from asn1crypto import algos, cms, core, pem
except ImportError as missing:
    sys.exit("release.py: %s (tools/setup-debian.sh installs it; run it with /usr/bin/python3)" % missing)

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Each architecture: its COFF Machine field, the suffix of its zip's name
# (the README names both zips), the option of tools/build-exe.sh that builds
# it, and its name in messages.
Arch = collections.namedtuple("Arch", "machine suffix option title")
ARCHES = {
    "x64": Arch(0x8664, "win64", [], "x64"),
    "arm64": Arch(0xAA64, "win-arm64", ["--arm64"], "ARM64"),
}
# osslsigncode and openssl run for a moment; anything longer is stuck.
TOOL_SECONDS = 30
# A first ARM64 build also builds its toolchain.
BUILD_SECONDS = 3600
ENTRIES = ["LICENSE.txt", "readme.txt", "vimra.exe"]
# The user guide is README.md down to this line; what follows is for
# developers and stays out of the zip.
GUIDE_END = "<!-- readme.txt ends here -->"
# Any fixed moment will do; this one is the year of the release.
STAMP = (2026, 1, 1, 0, 0, 0)


class Unfit(Exception):
    """Input that is not what it should be, or a step that failed: exit 2."""


def run(command, seconds=TOOL_SECONDS):
    return subprocess.run(command, capture_output=True, timeout=seconds)


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError as error:
        raise Unfit("%s cannot be read: %s" % (path, error.strerror))


def write(path, data):
    """Written aside and renamed into place, so that no part of a file is ever left."""
    with open(path + ".tmp", "wb") as f:
        f.write(data)
    os.replace(path + ".tmp", path)


def said(done):
    return (done.stdout + done.stderr).decode("utf-8", "replace")


# ---- the program -----------------------------------------------------------
def load_pe(data):
    try:
        return pefile.PE(data=data, fast_load=True)
    except pefile.PEFormatError:
        raise Unfit("not a Windows program")


def arch_of(pe):
    """x64 or arm64, or the Machine field in hex for a program of any other kind."""
    machine = pe.FILE_HEADER.Machine
    return next((name for name, arch in ARCHES.items() if arch.machine == machine), "0x%04x" % machine)


def signature_table(pe):
    """The certificate table's directory entry; its address is a file offset."""
    return pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]


def unsigned_end(pe, data):
    """Where the program ends short of its signature, which signing appends:
    at the certificate table when there is one."""
    table = signature_table(pe)
    return table.VirtualAddress if table.Size else len(data)


def signing_fields(pe):
    """Where the two header fields that signing writes lie: (offset, size)."""
    return [(pe.OPTIONAL_HEADER.get_field_absolute_offset("CheckSum"), 4),
            (signature_table(pe).get_file_offset(), 8)]


def digest(data):
    """The Authenticode SHA-256 of a program: every byte before its signature
    table but the fields that signing writes."""
    pe = load_pe(data)
    h, at = hashlib.sha256(), 0
    for field, size in signing_fields(pe):
        h.update(data[at:field])
        at = field + size
    h.update(data[at:unsigned_end(pe, data)])
    return h.digest()


def differences(got, want):
    """What differs between two programs, signatures left aside: a list of
    phrases such as 'code (.text)', 'resources (.rsrc)'."""

    def parts(data):
        pe = load_pe(data)
        headers = bytearray(data[:pe.OPTIONAL_HEADER.SizeOfHeaders])
        for at, size in signing_fields(pe):
            headers[at:at + size] = bytes(size)
        sections = {s.Name.rstrip(b"\0").decode("ascii", "replace") or "(unnamed)":
                    data[s.PointerToRawData:s.PointerToRawData + s.SizeOfRawData] for s in pe.sections}
        last = max([s.PointerToRawData + s.SizeOfRawData for s in pe.sections] + [len(headers)])
        return headers, sections, data[last:unsigned_end(pe, data)]

    (headers, sections, rest), (headers_want, sections_want, rest_want) = parts(got), parts(want)
    names = sorted(set(sections) | set(sections_want))
    changed = [n for n in names if sections.get(n) != sections_want.get(n)]
    code = [n for n in changed if n != ".rsrc"]
    found = ["headers"] if headers != headers_want else []
    if code:
        found.append("code (%s)" % ", ".join(code))
    if ".rsrc" in changed:
        found.append("resources (.rsrc)")
    if rest != rest_want:
        found.append("bytes after the last section")
    return found


def headers(path):
    """What an exe's headers say that the release checks hold it to, in words."""
    pe = load_pe(read(path))
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"],
                                           pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT"]])
    header = pe.OPTIONAL_HEADER
    imports = getattr(pe, "DIRECTORY_ENTRY_IMPORT", []) + getattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT", [])
    return {
        "machine": arch_of(pe),
        "flags": "0x%04x" % header.DllCharacteristics,
        "subsystem": "%d.%d" % (header.MajorSubsystemVersion, header.MinorSubsystemVersion),
        "os": "%d.%d" % (header.MajorOperatingSystemVersion, header.MinorOperatingSystemVersion),
        "imports": " ".join(i.dll.decode("ascii", "replace") for i in imports),
    }


# ---- its signature ---------------------------------------------------------
class SpcIndirectDataContent(core.Sequence):
    """What Authenticode signs: a description of the file, then its digest."""
    _fields = [("data", core.Any), ("message_digest", algos.DigestInfo)]


class Signature:
    """An Authenticode signature: PKCS#7, in PEM (as osslsigncode writes it) or DER."""

    def __init__(self, blob):
        try:
            self.der = pem.unarmor(blob)[2] if pem.detect(blob) else blob
            signed = cms.ContentInfo.load(self.der, strict=True)["content"]
            self.signer = signed["signer_infos"][0]
            self.content = signed["encap_content_info"]["content"].parse(SpcIndirectDataContent)
            self.file_digest = self.content["message_digest"]["digest"].native
            self.certificates = [c.chosen for c in signed["certificates"]]
            self.value = self.signer["signature"].native
        except (ValueError, TypeError, KeyError, IndexError, AttributeError):
            raise Unfit("not a PKCS#7 signature")

    def certificate(self):
        """The signer's certificate, which the signer names by issuer and serial number."""
        sid = self.signer["sid"]
        for cert in self.certificates:
            if (sid.name == "issuer_and_serial_number" and cert.issuer == sid.chosen["issuer"]
                    and cert.serial_number == sid.chosen["serial_number"].native):
                return cert
        return None

    def problems(self):
        """What is wrong with the signature in itself: nothing, for one made by
        the holder of its certificate's key and not touched since."""
        found = []
        algorithms = {self.content["message_digest"]["digest_algorithm"]["algorithm"].native,
                      self.signer["digest_algorithm"]["algorithm"].native}
        if algorithms != {"sha256"}:
            found.append("its digest is not SHA-256")
        # The signed attributes hold the digest of the signed content's value,
        # without its tag and length.
        attributes = self.signer["signed_attrs"]
        digests = [a["values"][0].native for a in attributes if a["type"].native == "message_digest"]
        if digests != [hashlib.sha256(self.content.contents).digest()]:
            found.append("its signed attributes do not match the content they sign")
        cert = self.certificate()
        if cert is None:
            found.append("it does not hold its signer's certificate")
        # What is signed is the attributes as a SET, not in their [0] tag.
        elif not checks_out(cert, attributes.untag().dump(), self.value):
            found.append("its signature value does not check out against its certificate")
        return found


def checks_out(cert, data, value):
    """Whether `value` is a signature of `data` by the key of `cert`, by
    openssl: RSA or ECDSA, and no trusted root needed."""
    with tempfile.TemporaryDirectory() as work:
        paths = [os.path.join(work, name) for name in ("cert.der", "data", "value")]
        for path, content in zip(paths, (cert.dump(), data, value)):
            write(path, content)
        return run(["openssl", "pkeyutl", "-verify", "-certin", "-keyform", "DER", "-inkey", paths[0],
                    "-rawin", "-digest", "sha256", "-in", paths[1], "-sigfile", paths[2]]).returncode == 0


def take_off(exe, out):
    """The signature of the program `exe`, written to `out` as PEM."""
    try:
        done = run(["osslsigncode", "extract-signature", "-pem", "-in", exe, "-out", out])
    except subprocess.TimeoutExpired:
        # As osslsigncode 2.5 does on a table with an empty second entry.
        raise Unfit("its signature cannot be taken off: osslsigncode did not finish in %d s" % TOOL_SECONDS)
    if done.returncode != 0 or not os.path.isfile(out):
        lines = [line for line in said(done).splitlines() if line.strip()] or ["no reason given"]
        raise Unfit("its signature cannot be taken off: " + lines[-1])
    return Signature(read(out))


def attach(signature, exe, out):
    """The program `exe` with the signature in the file `signature` attached."""
    # Then osslsigncode checks the result against the authorities it trusts
    # and says 1 when it cannot trace the certificate to one, which is not the
    # question here: the result is written either way, and judged by its bytes.
    done = run(["osslsigncode", "attach-signature", "-sigin", signature, "-in", exe, "-out", out])
    if done.returncode not in (0, 1) or not os.path.isfile(out):
        raise Unfit("the signature cannot be attached: " + said(done).strip())
    return read(out)


# ---- the zip ---------------------------------------------------------------
def inline(text):
    text = re.sub(r"\[([^\]]*)\]\(([^)]*)\)", r"\1 (\2)", text)
    return text.replace("`", "").replace("**", "")


def table(rows):
    cells = [[inline(c.strip()) for c in r.strip().strip("|").split("|")] for r in rows]
    header, body = cells[0], [r for r in cells[1:] if not all(set(c) <= set("-: ") for c in r)]
    # Asked for here, not at the top: the reproducibility check builds from
    # a copy of only what the build reads, which holds no harness.
    sys.path.insert(0, ROOT)
    from harness.table import layout
    return layout(header, body)


def plain(markdown):
    """The guide in plain text: no pictures, marks or table pipes."""
    guide = markdown.split(GUIDE_END)[0]
    guide = re.sub(r"<!--.*?-->", "", guide, flags=re.S)
    # A paragraph with a picture is about that picture, which the text
    # cannot show: it goes whole, caption included.
    guide = "\n\n".join(p for p in guide.split("\n\n") if "![" not in p)
    out, rows = [], []
    for line in guide.split("\n") + [""]:
        if line.startswith("|"):
            rows.append(line)
            continue
        if rows:
            out += table(rows)
            rows = []
        heading = re.match(r"(#+) (.*)", line)
        if heading:
            text = heading.group(2)
            out += [text, ("=" if len(heading.group(1)) == 1 else "-") * len(text)]
            continue
        out.append(inline(line))
    return re.sub(r"\n{3,}", "\n\n", "\n".join(out)).strip("\n") + "\n"


def texts():
    """readme.txt and LICENSE.txt as this tree makes them, with CRLF line
    ends so that Notepad on any Windows shows them right."""
    def crlf(text):
        return text.replace("\r\n", "\n").replace("\n", "\r\n").encode("utf-8")

    guide = plain(read(os.path.join(ROOT, "README.md")).decode("utf-8"))
    licence = read(os.path.join(ROOT, "LICENSE")).decode("utf-8")
    return {"LICENSE.txt": crlf(licence), "readme.txt": crlf(guide)}


def pack(target, exe):
    """A release zip: the same bytes on every run from the same tree and exe,
    with fixed entry times and modes in a fixed order."""
    entries = dict(texts(), **{"vimra.exe": exe})
    with zipfile.ZipFile(target + ".tmp", "w") as archive:
        for name in sorted(entries):
            entry = zipfile.ZipInfo(name, date_time=STAMP)
            entry.compress_type = zipfile.ZIP_DEFLATED
            entry.create_system = 3  # Unix, so the mode below is read
            entry.external_attr = 0o100644 << 16  # a regular file, rw-r--r--
            archive.writestr(entry, entries[name], compresslevel=9)
    os.replace(target + ".tmp", target)


def unpack(archive, into):
    """A release zip unpacked, anything else refused."""
    name = os.path.basename(archive)
    if not zipfile.is_zipfile(archive):
        raise Unfit("%s is not a zip file" % name)
    try:
        with zipfile.ZipFile(archive) as z:
            names = sorted(z.namelist())
            if names != ENTRIES:
                raise Unfit("%s is not a vimra release zip: it holds %s, not %s"
                            % (name, ", ".join(names) or "nothing", ", ".join(ENTRIES)))
            # Names checked above, so nothing lands outside the folder.
            z.extractall(into)
    except (zipfile.BadZipFile, OSError, EOFError) as error:
        raise Unfit("%s cannot be unpacked: %s" % (name, error))


def checksum(path):
    """The .sha256 beside a file, as sha256sum writes and checks it."""
    line = "%s  %s\n" % (hashlib.sha256(read(path)).hexdigest(), os.path.basename(path))
    write(path + ".sha256", line.encode())


# ---- the commands ----------------------------------------------------------
def build(arch, out):
    """The path of the release exe of `arch`, built into `out`."""
    if arch not in ARCHES:
        raise Unfit("unknown architecture %s" % arch)
    done = subprocess.run([os.path.join(ROOT, "tools", "build-exe.sh")] + ARCHES[arch].option + [out],
                          stdout=subprocess.PIPE, timeout=BUILD_SECONDS)
    if done.returncode != 0:
        raise Unfit("the %s build failed" % arch)
    return done.stdout.decode().strip()


def package(dist):
    """Builds the exes, then packs each into its zip in `dist`, a .sha256
    beside it: vimra-VERSION-win64.zip for x64, and so on. The paths of the zips."""
    # The version block of the resource script is the one place it is written.
    resources = read(os.path.join(ROOT, "resources", "vimra.rc"))
    version = re.search(rb'VALUE "FileVersion", "([0-9.]+)"', resources)
    if not version:
        raise Unfit("no FileVersion in resources/vimra.rc")
    builds = os.environ.get("VIMRA_PACKAGE_BUILD", os.path.join(ROOT, "build", "package"))
    arches = os.environ.get("VIMRA_PACKAGE_ARCHES", "x64 arm64").split()
    exes = [(arch, build(arch, os.path.join(builds, arch))) for arch in arches]
    os.makedirs(dist, exist_ok=True)
    zips = []
    for arch, exe in exes:
        zips.append(os.path.join(dist, "vimra-%s-%s.zip" % (version.group(1).decode(), ARCHES[arch].suffix)))
        pack(zips[-1], read(exe))
        checksum(zips[-1])
    return zips


# osslsigncode sign's options that name a file, which must be there before
# the builds; and the ones that this script gives.
FILE_OPTIONS = ["-pkcs12", "-certs", "-spc", "-readpass", "-ac", "-pkcs11module", "-pkcs11engine", "-CAfile"]
OWN_OPTIONS = ["-in", "-out", "-h", "-sigin"]


def sign(options, dist):
    """Signs the zips' exes with Authenticode (SHA-256). Beside each unsigned
    zip, which stays the reproducible release: the zip with the signed exe and
    its .sha256, and the exe's signature alone (-signature.pem), which attached
    to anyone's build of the same source gives the signed exe byte for byte.
    All is made and checked aside, then copied into `dist`: a wrong password,
    key or certificate leaves it as it was."""
    if not options:
        raise Unfit("usage: tools/release.py sign OSSLSIGNCODE_SIGN_OPTIONS... "
                    "(such as -pkcs12 FILE -readpass FILE)")
    token = "-pkcs11module" in options or "-pkcs11engine" in options
    for option, value in zip(options, options[1:]):
        # A key on a token is named by its module's URI, not by a file.
        key_file = option == "-key" and not token and not value.startswith("pkcs11:")
        if (option in FILE_OPTIONS or key_file) and not os.path.isfile(value):
            raise Unfit("no such file: %s (after %s)" % (value, option))
    for option in options:
        if option in OWN_OPTIONS:
            raise Unfit("%s is this script's to give: leave it out" % option)

    with tempfile.TemporaryDirectory(prefix="vimra-sign.") as stage:
        out = os.path.join(stage, "out")
        signers = []
        for path in package(out):
            name = os.path.basename(path)[:-len(".zip")]
            unpack(path, os.path.join(stage, name))
            exe = os.path.join(stage, name, "vimra.exe")
            signed = os.path.join(stage, name + "-signed.exe")
            # Its words are kept for a failure; a token's PIN it asks for on the terminal.
            done = run(["osslsigncode", "sign", "-h", "sha256"] + options + ["-in", exe, "-out", signed], 600)
            if done.returncode != 0:
                raise Unfit("osslsigncode could not sign the exe of %s.zip; it said:\n  %s"
                            % (name, said(done).strip().replace("\n", "\n  ")))
            signature_file = os.path.join(out, name + "-signature.pem")
            signature = take_off(signed, signature_file)
            problems = signature.problems()
            if problems:
                raise Unfit("the signature made is broken: " + "; ".join(problems))
            cert = signature.certificate()
            # osslsigncode signs with any certificate; Windows only honours
            # one made for signing code.
            usages = cert.extended_key_usage_value
            if usages is None or "code_signing" not in usages.native:
                raise Unfit("the certificate is not for signing code (its extended key usage lacks "
                            "Code Signing): " + cert.subject.human_friendly)
            # What is published must give the signed exe back.
            if attach(signature_file, exe, os.path.join(stage, "attached.exe")) != read(signed):
                raise Unfit("the signature taken off the signed exe of %s.zip does not give it back "
                            "when attached" % name)
            pack(os.path.join(out, name + "-signed.zip"), read(signed))
            checksum(os.path.join(out, name + "-signed.zip"))
            signers.append("%s: signed by %s" % (name, cert.subject.human_friendly))

        os.makedirs(dist, exist_ok=True)
        for name in sorted(os.listdir(out)):
            write(os.path.join(dist, name), read(os.path.join(out, name)))
        print("\n".join(signers))
        for name in sorted(n for n in os.listdir(out) if n.endswith(".sha256")):
            print(read(os.path.join(out, name)).decode(), end="")


def verify(archive, published):
    """Whether a release zip holds exactly this source's build, in one line:
    VERIFIED, or DIFFERENT with what differs. It rebuilds the exe of the zip's
    architecture; an unsigned exe must be that build byte for byte, a signed
    one that build with the zip's signature attached, the signature intact
    and made over this build, and the signature file given, if any, its own.
    Whose certificate it is, is for Windows to show."""
    name = os.path.basename(archive)
    for path in filter(None, [archive, published]):
        if not os.path.isfile(path):
            raise Unfit("no such file: %s" % path)
    try:
        given = Signature(read(published)) if published else None
    except Unfit as why:
        raise Unfit("%s: %s" % (os.path.basename(published), why))
    with tempfile.TemporaryDirectory(prefix="vimra-verify.") as work:
        unpack(archive, os.path.join(work, "zip"))
        got = read(os.path.join(work, "zip", "vimra.exe"))
        try:
            arch = arch_of(load_pe(got))
        except Unfit as why:
            raise Unfit("%s: vimra.exe: %s" % (name, why))
        if arch not in ARCHES:
            raise Unfit("%s: vimra.exe: a program for neither x64 nor ARM64 (machine %s)" % (name, arch))
        out = os.path.join(os.environ.get("VIMRA_VERIFY_BUILD", os.path.join(ROOT, "build", "verify")), arch)
        print("verify: building the %s exe in %s" % (arch, out), file=sys.stderr)
        rebuilt = build(arch, out)
        source = "this source's %s build" % ARCHES[arch].title
        if signature_table(load_pe(got)).Size:
            found, held = signed_differences(got, rebuilt, source, given, published, work)
        else:
            found, held = unsigned_differences(got, read(rebuilt), source, given)
        for text, data in texts().items():
            if read(os.path.join(work, "zip", text)) != data:
                found.append("its %s is not what this tree makes" % text)
    if found:
        print("DIFFERENT: %s: %s" % (name, "; ".join(found)))
        return 1
    print("VERIFIED: %s: %s; readme.txt and LICENSE.txt are what this tree makes" % (name, held))
    return 0


def unsigned_differences(got, want, source, given):
    """What differs of an unsigned exe, in words; and what it is when nothing does."""
    found = []
    if got != want:
        parts = " and ".join(differences(got, want)) or "its bytes"
        found.append("its vimra.exe differs from %s in %s" % (source, parts))
    held = "vimra.exe is %s, byte for byte, unsigned" % source
    if given:
        problems = given.problems()
        if problems:
            found.append("the signature given is damaged: " + "; ".join(problems))
        elif given.file_digest != digest(want):
            found.append("the signature given was made over a different build")
        held += "; the signature given is intact and made over this build"
    return found, held


def signed_differences(got, rebuilt, source, given, published, work):
    """What differs of a signed exe, in words; and what it is when nothing does."""
    want, found = read(rebuilt), []
    table = signature_table(load_pe(got))
    end = table.VirtualAddress + table.Size
    if len(got) > end:
        found.append("%d bytes are appended after its signature" % (len(got) - end))
    # osslsigncode 2.5 takes no signature off a file that goes on after it.
    write(os.path.join(work, "signed.exe"), got[:end])
    taken = os.path.join(work, "signature.pem")
    try:
        signature = take_off(os.path.join(work, "signed.exe"), taken)
    except Unfit as why:
        return found + ["its vimra.exe's signature cannot be read: %s" % why], ""
    attached = attach(taken, rebuilt, os.path.join(work, "attached.exe"))
    # osslsigncode's table holds the signature and the padding to 8 bytes
    # that the format asks for: anything more is hidden there.
    hidden = table.Size - signature_table(load_pe(attached)).Size
    if hidden > 0:
        found.append("%d bytes are hidden in its signature table after the signature" % hidden)
    if given and given.der != signature.der:
        found.append("its signature is not the one given (%s)" % os.path.basename(published))
    problems = signature.problems()
    if problems:
        found.append("its signature is damaged: " + "; ".join(problems))
    parts = " and ".join(differences(got, want))
    if parts and signature.file_digest == digest(got):
        found.append("it was signed over a different build: it differs from %s in %s" % (source, parts))
    elif parts and signature.file_digest == digest(want):
        found.append("it was changed after signing, in %s: its signature is over %s, its exe is not"
                     % (parts, source))
    elif parts:
        found.append("it differs from %s in %s, and its signature is over neither" % (source, parts))
    elif signature.file_digest != digest(want) and not problems:
        found.append("its signature was made over a different build")
    if not found and attached != got:
        found.append("%s with its signature attached is not its vimra.exe byte for byte" % source)
    if found:
        return found, ""
    held = "vimra.exe is %s with its signature attached, byte for byte, signed by %s" % (
        source, signature.certificate().subject.human_friendly)
    return found, held + (" with the signature given" if given else "")


def main(argv):
    command, arguments = (argv[0], argv[1:]) if argv else ("", [])
    count = len(arguments)
    dist = os.environ.get("VIMRA_DIST", os.path.join(ROOT, "dist"))
    try:
        if command == "verify" and count in (1, 2):
            return verify(arguments[0], arguments[1] if count == 2 else None)
        elif command == "sign":
            sign(arguments, dist)
        elif command == "package" and count == 0:
            for path in package(dist):
                print(read(path + ".sha256").decode(), end="")
        elif command == "build" and count == 2:
            print(build(*arguments))
        elif command == "describe" and count == 1:
            for fact in headers(arguments[0]).items():
                print(*fact)
        elif command == "zip" and count == 2:
            pack(arguments[0], read(arguments[1]))
        else:
            print(__doc__, file=sys.stderr)
            return 2
    except Unfit as why:
        print("%s: %s" % (command, why), file=sys.stderr)
        return 2
    except subprocess.TimeoutExpired as stuck:
        print("%s: %s did not finish in %d s" % (command, stuck.cmd[0], stuck.timeout), file=sys.stderr)
        return 2
    except FileNotFoundError as missing:
        print("%s: %s not found (tools/setup-debian.sh installs it)" % (command, missing.filename),
              file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
