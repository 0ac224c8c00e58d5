#!/usr/bin/python3
"""The release: its zips, their signatures, and the check of one against the source.

    tools/release.py package                the zip of each architecture, and its SHA-256
    tools/release.py sign OPTIONS...         those, a signed zip of each and the exe's signature
                                             alone; OPTIONS are osslsigncode sign's
    tools/release.py verify ZIP [SIGNATURE]  whether ZIP holds exactly this source's build
    tools/release.py build ARCH DIR          the release exe of x64 or arm64 built in DIR: its path
    tools/release.py describe EXE            the machine, flags, Windows version and DLLs of EXE

VIMRA_PACKAGE_ARCHES: the zips to make (default "x64 arm64"); VIMRA_PACKAGE_BUILD
(default build/package), VIMRA_DIST (dist), VIMRA_VERIFY_BUILD (build/verify).
Exit 0: done or VERIFIED; 1: DIFFERENT; 2: refused, with the reason on stderr.
Debian's pefile and asn1crypto read programs and signatures; osslsigncode
takes a signature off and attaches it, openssl checks it against its own certificate.
"""
import base64
import collections
import hashlib
import io
import itertools
import os
import re
import subprocess
import sys
import tempfile
import zipfile
import zlib

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
SECURITY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]
# A zip to verify and the signature beside it may come from anyone: each is
# held to what a release is before it is read. Its exe is 40 KiB, its readme
# 12; its signature 1.5 KiB, a few times that with a chain and a time-stamp.
ENTRY_LIMIT = 64 << 10
ZIP_LIMIT = 4 * ENTRY_LIMIT
SIGNATURE_LIMIT = 16 << 10


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
    """A tool's words on one line."""
    lines = (done.stdout + done.stderr).decode("utf-8", "replace").splitlines()
    return "; ".join(line.strip() for line in lines if line.strip()) or "no reason given"


def shown(text):
    """Text that may hold a zip's or a signature's, every control character escaped: none to obey."""
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in text)


# ---- the program -----------------------------------------------------------
def load_pe(data):
    """A program's headers, refused unless they hold an entry for a signature, one within its
    limit, and sections apart inside the file: then nothing taken of it is larger than the file."""
    try:
        pe = pefile.PE(data=data, fast_load=True)
    except pefile.PEFormatError:
        raise Unfit("not a Windows program")
    if len(pe.OPTIONAL_HEADER.DATA_DIRECTORY) <= SECURITY:
        raise Unfit("not a Windows program: too few data directories, none for a signature")
    if signature_table(pe).Size > SIGNATURE_LIMIT:
        raise Unfit("its signature is over the limit of %d KiB" % (SIGNATURE_LIMIT >> 10))
    spans = sorted((s.PointerToRawData, s.PointerToRawData + s.SizeOfRawData)
                   for s in pe.sections if s.SizeOfRawData)
    if any(later[0] < span[1] for span, later in zip(spans, spans[1:])) or spans and spans[-1][1] > len(data):
        raise Unfit("its sections overlap or reach past its end")
    return pe


def arch_of(pe):
    """x64 or arm64, or the Machine field in hex for a program of any other kind."""
    machine = pe.FILE_HEADER.Machine
    return next((name for name, arch in ARCHES.items() if arch.machine == machine), "0x%04x" % machine)


def signature_table(pe):
    """The certificate table's directory entry; its address is a file offset."""
    return pe.OPTIONAL_HEADER.DATA_DIRECTORY[SECURITY]


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
    (checksum, _), (table, _) = signing_fields(pe)
    kept = data[:checksum] + data[checksum + 4:table] + data[table + 8:unsigned_end(pe, data)]
    return hashlib.sha256(kept).digest()


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
    changed = sorted(n for n in set(sections) | set(sections_want) if sections.get(n) != sections_want.get(n))
    code = ", ".join(n for n in changed if n != ".rsrc")
    return [phrase for phrase, found in [("headers", headers != headers_want), ("code (%s)" % code, code),
                                         ("resources (.rsrc)", ".rsrc" in changed),
                                         ("bytes after the last section", rest != rest_want)] if found]


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
    """An Authenticode signature: PKCS#7, in PEM (as osslsigncode writes it) or DER, all
    read here, where one that is not what it should be, however nested, is refused."""

    def __init__(self, blob):
        try:
            # Its base64 taken whole: asn1crypto's PEM reader takes time that
            # grows with the square of the lines.
            self.der = base64.b64decode(re.sub(rb"-----[^\n]*", b"", blob)) if pem.detect(blob) else blob
            signed = cms.ContentInfo.load(self.der, strict=True)["content"]
            signer = signed["signer_infos"][0]
            content = signed["encap_content_info"]["content"].parse(SpcIndirectDataContent)
            self.file_digest = content["message_digest"]["digest"].native
            self.value = signer["signature"].native
            # The signer names its certificate by issuer and serial number.
            sid = signer["sid"].chosen if signer["sid"].name == "issuer_and_serial_number" else None
            certs = [c.chosen for c in signed["certificates"]]
            self.cert = next((c for c in certs if sid and c.issuer == sid["issuer"]
                              and c.serial_number == sid["serial_number"].native), None)
            self.signed_by = self.cert.subject.human_friendly if self.cert else ""
            # The signed attributes hold the digest of the signed content's
            # value, without its tag and length.
            attributes = signer["signed_attrs"]
            digests = [a["values"].native for a in attributes if a["type"].native == "message_digest"]
            algorithms = {content["message_digest"]["digest_algorithm"]["algorithm"].native,
                          signer["digest_algorithm"]["algorithm"].native}
            self.problems = [problem for problem, found in [
                ("its digest is not SHA-256", algorithms != {"sha256"}),
                ("its signed attributes do not match the content they sign",
                 digests != [[hashlib.sha256(content.contents).digest()]]),
                ("it does not hold its signer's certificate", not self.cert),
                # What is signed is the attributes as a SET, not in their [0] tag.
                ("its signature value does not check out against its certificate",
                 self.cert and not checks_out(self.cert, attributes.untag().dump(), self.value))] if found]
        except (ValueError, TypeError, KeyError, IndexError, AttributeError, RecursionError):
            raise Unfit("not a PKCS#7 signature")


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
        raise Unfit("its signature cannot be taken off: " + said(done))
    return Signature(read(out))


def attach(signature, exe, out):
    """The program `exe` with the signature in the file `signature` attached."""
    # Then osslsigncode checks the result against the authorities it trusts
    # and says 1 when it cannot trace the certificate to one, which is not the
    # question here: the result is written either way, and judged by its bytes.
    done = run(["osslsigncode", "attach-signature", "-sigin", signature, "-in", exe, "-out", out])
    if done.returncode not in (0, 1) or not os.path.isfile(out):
        raise Unfit("the signature cannot be attached: " + said(done))
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
    out = []
    for rows, lines in itertools.groupby(guide.split("\n"), lambda line: line.startswith("|")):
        if rows:
            out += table(list(lines))
            continue
        for line in lines:
            heading = re.match(r"(#+) (.*)", line)
            text = heading.group(2) if heading else inline(line)
            out += [text, ("=" if len(heading.group(1)) == 1 else "-") * len(text)] if heading else [text]
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


def unpack(archive):
    """A release zip's entries by name, each held to its limit before it is
    inflated; anything else refused."""
    name = os.path.basename(archive)
    data = io.BytesIO(read(archive))
    if not zipfile.is_zipfile(data):
        raise Unfit("%s is not a zip file" % name)
    try:
        with zipfile.ZipFile(data) as z:
            names = sorted(z.namelist())
            if names != ENTRIES:
                raise Unfit("%s is not a vimra release zip: it holds %s, not %s"
                            % (name, ", ".join(names) or "nothing", ", ".join(ENTRIES)))
            for info in z.infolist():
                where = "%s: %s" % (name, info.filename)
                if info.file_size > ENTRY_LIMIT:
                    raise Unfit("%s is over the limit of %d KiB" % (where, ENTRY_LIMIT >> 10))
                # zipfile inflates what other methods hold whole, however little is asked of it.
                how = "encrypted" if info.flag_bits & 1 else "compressed by method %d" % info.compress_type
                if info.flag_bits & 1 or info.compress_type not in (zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED):
                    raise Unfit("%s is %s, which no release zip is" % (where, how))
            # No more inflated than the size checked, whatever the data holds.
            return {entry: z.open(entry).read(ENTRY_LIMIT) for entry in ENTRIES}
    except (zipfile.BadZipFile, EOFError, NotImplementedError, ValueError, zlib.error) as error:
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
            exe = os.path.join(stage, name + ".exe")
            write(exe, unpack(path)["vimra.exe"])
            signed = os.path.join(stage, name + "-signed.exe")
            # Its words are kept for a failure; a token's PIN it asks for on the terminal.
            done = run(["osslsigncode", "sign", "-h", "sha256"] + options + ["-in", exe, "-out", signed], 600)
            if done.returncode != 0:
                raise Unfit("osslsigncode could not sign the exe of %s.zip; it said: %s" % (name, said(done)))
            signature_file = os.path.join(out, name + "-signature.pem")
            signature = take_off(signed, signature_file)
            if signature.problems:
                raise Unfit("the signature made is broken: " + "; ".join(signature.problems))
            # osslsigncode signs with any certificate; Windows only honours
            # one made for signing code.
            usages = signature.cert.extended_key_usage_value
            if usages is None or "code_signing" not in usages.native:
                raise Unfit("the certificate is not for signing code (its extended key usage lacks "
                            "Code Signing): " + signature.signed_by)
            # What is published must give the signed exe back.
            if attach(signature_file, exe, os.path.join(stage, "attached.exe")) != read(signed):
                raise Unfit("the signature taken off the signed exe of %s.zip does not give it back "
                            "when attached" % name)
            pack(os.path.join(out, name + "-signed.zip"), read(signed))
            checksum(os.path.join(out, name + "-signed.zip"))
            signers.append(shown("%s: signed by %s" % (name, signature.signed_by)))

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
    for path, limit in [(archive, ZIP_LIMIT), (published, SIGNATURE_LIMIT)]:
        if path and not os.path.isfile(path):
            raise Unfit("no such file: %s" % path)
        if path and os.path.getsize(path) > limit:
            raise Unfit("%s is over the limit of %d KiB" % (os.path.basename(path), limit >> 10))
    try:
        given = Signature(read(published)) if published else None
    except Unfit as why:
        raise Unfit("%s: %s" % (os.path.basename(published), why))
    entries = unpack(archive)
    got = entries["vimra.exe"]
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
        with tempfile.TemporaryDirectory(prefix="vimra-verify.") as work:
            found, held = signed_differences(got, rebuilt, source, given, published, work)
    else:
        found, held = unsigned_differences(got, read(rebuilt), source, given)
    found += ["its %s is not what this tree makes" % text
              for text, data in texts().items() if entries[text] != data]
    if found:
        print(shown("DIFFERENT: %s: %s" % (name, "; ".join(found))))
        return 1
    print(shown("VERIFIED: %s: %s; readme.txt and LICENSE.txt are what this tree makes" % (name, held)))
    return 0


def unsigned_differences(got, want, source, given):
    """What differs of an unsigned exe, in words; and what it is when nothing does."""
    found = []
    if got != want:
        parts = " and ".join(differences(got, want)) or "its bytes"
        found.append("its vimra.exe differs from %s in %s" % (source, parts))
    held = "vimra.exe is %s, byte for byte, unsigned" % source
    if given:
        if given.problems:
            found.append("the signature given is damaged: " + "; ".join(given.problems))
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
    if signature.problems:
        found.append("its signature is damaged: " + "; ".join(signature.problems))
    parts = " and ".join(differences(got, want))
    if parts and signature.file_digest == digest(got):
        found.append("it was signed over a different build: it differs from %s in %s" % (source, parts))
    elif parts and signature.file_digest == digest(want):
        found.append("it was changed after signing, in %s: its signature is over %s, its exe is not"
                     % (parts, source))
    elif parts:
        found.append("it differs from %s in %s, and its signature is over neither" % (source, parts))
    elif signature.file_digest != digest(want) and not signature.problems:
        found.append("its signature was made over a different build")
    if not found and attached != got:
        found.append("%s with its signature attached is not its vimra.exe byte for byte" % source)
    if found:
        return found, ""
    held = "vimra.exe is %s with its signature attached, byte for byte, signed by %s" % (
        source, signature.signed_by)
    return found, held + (" with the signature given" if given else "; without the published signature"
                          " file this means this source's build plus some well-formed signature: only that"
                          " file, or the published SHA-256, pins the released zip")


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
        else:
            print(__doc__, file=sys.stderr)
            return 2
    except Unfit as why:
        print(shown("%s: %s" % (command, why)), file=sys.stderr)
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
