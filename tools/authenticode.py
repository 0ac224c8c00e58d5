#!/usr/bin/env python3
"""What Windows reads of a signed program, read here without trusting anyone.

    authenticode.py machine EXE            prints x64 or arm64
    authenticode.py signer SIGNATURE       prints the certificate that made an
                                           intact signature (PEM)
    authenticode.py extract EXE OUT        writes EXE's signature (PEM) to OUT
    authenticode.py attach SIGNATURE EXE OUT
                                           writes EXE with SIGNATURE attached

A signature is taken off and put on with osslsigncode, which every
maintainer and user has the same way. Its DER form is not the same in
every version (2.5 writes the certificate table entry, 2.9 the bare PKCS#7),
its PEM form is, so PEM is what is written and both DER forms are read.

Whether a signature is intact is checked here rather than by osslsigncode's
verify, which also demands a chain to a trusted root: a user checking a
download against the source wants to know whether the signature is the one
made over this build, not whom to trust, which Windows shows them.
Exit 2, with the reason on stderr, for input that is not what it should be.
"""
import base64
import hashlib
import os
import subprocess
import sys
import tempfile

# osslsigncode and openssl run for a moment; anything longer is stuck.
TOOL_SECONDS = 60
SHA256 = bytes.fromhex("608648016503040201")
MESSAGE_DIGEST = bytes.fromhex("2a864886f70d010904")
MACHINES = {0x8664: "x64", 0xAA64: "arm64"}


class Unfit(Exception):
    """Input that is not a program or a signature of the kind expected."""


def u16(data, at):
    return int.from_bytes(data[at:at + 2], "little")


def u32(data, at):
    return int.from_bytes(data[at:at + 4], "little")


class Pe:
    """The parts of a PE file that signing touches or that tell builds apart."""

    def __init__(self, data):
        pe = u32(data, 0x3C) if len(data) >= 0x40 and data[:2] == b"MZ" else 0
        if pe == 0 or data[pe:pe + 4] != b"PE\0\0":
            raise Unfit("not a Windows program")
        self.machine = u16(data, pe + 4)
        sections = u16(data, pe + 6)
        optional = pe + 24
        magic = u16(data, optional)
        if magic not in (0x10B, 0x20B):
            raise Unfit("not a Windows program (optional header 0x%x)" % magic)
        directories = optional + (96 if magic == 0x10B else 112)
        self.checksum_at = optional + 64
        self.headers_size = u32(data, optional + 60)
        # The certificate table, directory 4: a file offset, not an address.
        self.table_entry_at = directories + 4 * 8
        self.table_at = u32(data, self.table_entry_at)
        self.table_size = u32(data, self.table_entry_at + 4)
        table = optional + u16(data, pe + 20)
        self.sections = []
        for i in range(sections):
            at = table + 40 * i
            name = data[at:at + 8].rstrip(b"\0").decode("ascii", "replace")
            self.sections.append((name, u32(data, at + 20), u32(data, at + 16)))
        self.length = len(data)

    @property
    def signed(self):
        return self.table_size != 0

    def content_end(self):
        """Where the program ends and its signature, if any, begins."""
        return self.table_at if self.signed else self.length


def digest(data, pe):
    """The Authenticode SHA-256 of a program: every byte before its signature
    but the checksum and the table's directory entry, which signing writes."""
    end = pe.content_end()
    h = hashlib.sha256()
    h.update(data[:pe.checksum_at])
    h.update(data[pe.checksum_at + 4:pe.table_entry_at])
    h.update(data[pe.table_entry_at + 8:end])
    return h.digest()


def certificate_table(data, pe):
    """The signature in the table, and the count of bytes in the table
    after it beyond the padding to 8 bytes that the format asks for."""
    at = pe.table_at
    if at + pe.table_size > len(data):
        raise Unfit("its signature table runs past the end of the file")
    length = u32(data, at)
    if u16(data, at + 4) != 0x200 or u16(data, at + 6) != 2 or length < 8:
        raise Unfit("its signature table holds no Authenticode signature")
    der = data[at + 8:at + length]
    end = Der(der, 0).end
    padding = -end % 8
    return der[:end], pe.table_size - end - 8 - padding


def differences(got, want):
    """What differs between two programs' contents, signatures left aside:
    a list of phrases such as 'code (.text)', 'resources (.rsrc)'."""
    pg, pw = Pe(got), Pe(want)

    def headers(data, pe):
        d = bytearray(data[:pe.headers_size])
        for at, size in ((pe.checksum_at, 4), (pe.table_entry_at, 8)):
            d[at:at + size] = bytes(size)
        return bytes(d)

    found = []
    if headers(got, pg) != headers(want, pw):
        found.append("headers")
    code, resources = [], []
    sections_got = {s[0]: got[s[1]:s[1] + s[2]] for s in pg.sections}
    sections_want = {s[0]: want[s[1]:s[1] + s[2]] for s in pw.sections}
    for name in sorted(set(sections_got) | set(sections_want)):
        if sections_got.get(name) != sections_want.get(name):
            (resources if name == ".rsrc" else code).append(name or "(unnamed)")
    if code:
        found.append("code (%s)" % ", ".join(code))
    if resources:
        found.append("resources (%s)" % ", ".join(resources))
    def after_sections(data, pe):
        last = max([s[1] + s[2] for s in pe.sections] + [pe.headers_size])
        return data[last:pe.content_end()]

    if after_sections(got, pg) != after_sections(want, pw):
        found.append("bytes after the last section")
    return found


# ---- PKCS#7 ---------------------------------------------------------------
class Der:
    """One DER element in `data`: its tag, where it begins, where its value
    begins and where it ends."""

    def __init__(self, data, at):
        if at + 2 > len(data):
            raise Unfit("a signature cut short")
        self.data, self.begin, self.tag = data, at, data[at]
        length, start = data[at + 1], at + 2
        if length & 0x80:
            count = length & 0x7F
            if count == 0 or count > 4:
                raise Unfit("a signature not in DER")
            length = int.from_bytes(data[start:start + count], "big")
            start += count
        if start + length > len(data):
            raise Unfit("a signature cut short")
        self.start, self.end = start, start + length

    def raw(self):
        return self.data[self.begin:self.end]

    def value(self):
        return self.data[self.start:self.end]

    def items(self):
        """The elements inside a SEQUENCE, SET or tagged element."""
        out, at = [], self.start
        while at < self.end:
            out.append(Der(self.data, at))
            at = out[-1].end
        return out


def read_signature(blob):
    """A signature file in any form osslsigncode writes: PEM, bare DER, or
    version 2.5's DER, which is the certificate table entry itself."""
    if blob.lstrip().startswith(b"-----BEGIN"):
        body = [l for l in blob.decode("ascii", "replace").splitlines() if l and "-----" not in l]
        try:
            blob = base64.b64decode("".join(body), validate=True)
        except ValueError:
            raise Unfit("a PEM signature that is not base64")
    elif len(blob) > 8 and blob[4:8] == b"\x00\x02\x02\x00":
        blob = blob[8:u32(blob, 0)]
    if not blob or blob[0] != 0x30:
        raise Unfit("not a PKCS#7 signature")
    return blob[:Der(blob, 0).end]


def pem(der):
    text = base64.b64encode(der).decode()
    lines = [text[i:i + 64] for i in range(0, len(text), 64)]
    return ("-----BEGIN PKCS7-----\n%s\n-----END PKCS7-----\n" % "\n".join(lines)).encode()


class Signature:
    """An Authenticode PKCS#7 signature, taken apart."""

    def __init__(self, der):
        self.der = der
        try:
            self._parse(der)
        except (IndexError, ValueError):
            raise Unfit("a signature that is not Authenticode PKCS#7")

    def _parse(self, d):
        # ContentInfo, its [0], SignedData: version, digest algorithms,
        # content, [0] certificates, maybe [1] revocation lists, signers.
        signed = Der(d, 0).items()[1].items()[0].items()
        # The signed content, SpcIndirectDataContent, ends in the program's
        # digest; what the signer's attributes hold the digest of is its
        # value without tag and length.
        content = signed[2].items()[1].items()[0]
        self.content = content.value()
        algorithm, digest = content.items()[1].items()
        self.sha256 = algorithm.items()[0].value() == SHA256
        self.file_digest = digest.value()
        self.certificates = [c.raw() for c in signed[3].items()] if signed[3].tag == 0xA0 else []
        # The first signer: version, issuer and serial number of its
        # certificate, digest algorithm, [0] signed attributes, signature
        # algorithm, signature value, maybe [1] unsigned attributes (a time
        # stamp).
        fields = signed[-1].items()[0].items()
        issuer, serial = fields[1].items()[:2]
        self.issuer, self.serial = issuer.raw(), serial.raw()
        attributes = fields[3]
        if attributes.tag != 0xA0:
            raise Unfit("a signature without signed attributes")
        # What is signed is the attributes as a SET, not in their [0] tag.
        self.signed_attributes = b"\x31" + attributes.raw()[1:]
        self.message_digest = None
        for attribute in attributes.items():
            oid, values = attribute.items()[:2]
            if oid.value() == MESSAGE_DIGEST:
                self.message_digest = values.items()[0].value()
        self.signature_value = fields[5].value()

    def signer_certificate(self):
        for cert in self.certificates:
            # To be signed: maybe [0] version, serial number, algorithm, issuer...
            tbs = Der(cert, 0).items()[0].items()
            first = 1 if tbs[0].tag == 0xA0 else 0
            if tbs[first].raw() == self.serial and tbs[first + 2].raw() == self.issuer:
                return cert
        return None

    def problems(self):
        """What is wrong with the signature in itself: nothing, for one made
        by the holder of its certificate's key and not touched since."""
        found = []
        if not self.sha256:
            found.append("its digest is not SHA-256")
        if self.message_digest != hashlib.sha256(self.content).digest():
            found.append("its signed attributes do not match the content they sign")
        cert = self.signer_certificate()
        if cert is None:
            found.append("it does not hold its signer's certificate")
        elif not verifies(cert, self.signed_attributes, self.signature_value):
            found.append("its signature value does not check out against its certificate")
        return found


def run(command, **options):
    return subprocess.run(command, capture_output=True, timeout=TOOL_SECONDS, **options)


def verifies(cert, data, value):
    """Whether `value` is a signature of `data` by the key of `cert` (DER),
    RSA or ECDSA, by openssl."""
    with tempfile.TemporaryDirectory() as work:
        paths = {n: os.path.join(work, n) for n in ("cert.der", "key.pem", "data", "value")}
        for name, content in (("cert.der", cert), ("data", data), ("value", value)):
            with open(paths[name], "wb") as f:
                f.write(content)
        key = run(["openssl", "x509", "-inform", "DER", "-in", paths["cert.der"], "-noout",
                   "-pubkey", "-out", paths["key.pem"]])
        if key.returncode != 0:
            return False
        check = run(["openssl", "dgst", "-sha256", "-verify", paths["key.pem"],
                     "-signature", paths["value"], paths["data"]])
        return check.returncode == 0


def certificate_pem(cert):
    out = run(["openssl", "x509", "-inform", "DER"], input=cert)
    if out.returncode != 0:
        raise Unfit("its signer's certificate cannot be read")
    return out.stdout


def osslsigncode(*arguments):
    """osslsigncode, whose chatter goes to the returned text."""
    out = run(["osslsigncode"] + list(arguments))
    return out.returncode, (out.stdout + out.stderr).decode("utf-8", "replace")


def extract(exe, out):
    """The signature of `exe`, in DER, written as PEM to `out`."""
    with tempfile.TemporaryDirectory() as work:
        taken = os.path.join(work, "signature.pem")
        status, said = osslsigncode("extract-signature", "-pem", "-in", exe, "-out", taken)
        if status != 0 or not os.path.isfile(taken):
            raise Unfit("its signature cannot be taken off: " + last_line(said))
        with open(taken, "rb") as f:
            der = read_signature(f.read())
    with open(out + ".tmp", "wb") as f:
        f.write(pem(der))
    os.replace(out + ".tmp", out)
    return der


def attach(der, exe, out):
    """`exe` with the signature `der` attached, written to `out`."""
    with tempfile.TemporaryDirectory() as work:
        signature = os.path.join(work, "signature.pem")
        with open(signature, "wb") as f:
            f.write(pem(der))
        # After attaching, osslsigncode verifies the result against the
        # authorities it is given, and says 1 when that fails. Given the
        # signature's own certificates it trusts a self-made one; a chain to
        # an authority elsewhere it may still not, which is not the question
        # here: the result is written either way, and judged by its bytes.
        authorities = os.path.join(work, "certificates.pem")
        with open(authorities, "wb") as f:
            f.write(b"".join(certificate_pem(c) for c in Signature(der).certificates))
        attached = os.path.join(work, "attached.exe")
        status, said = osslsigncode("attach-signature", "-sigin", signature, "-CAfile",
                                    authorities, "-in", exe, "-out", attached)
        if status not in (0, 1) or not os.path.isfile(attached):
            raise Unfit("the signature cannot be attached: " + last_line(said))
        os.replace(attached, out)


def last_line(text):
    lines = [l.strip() for l in text.splitlines() if l.strip()]
    return lines[-1] if lines else "no reason given"


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError as error:
        raise Unfit("%s cannot be read: %s" % (path, error.strerror))


def main(argv):
    try:
        if len(argv) == 2 and argv[0] == "machine":
            pe = Pe(read(argv[1]))
            if pe.machine not in MACHINES:
                raise Unfit("a program for neither x64 nor ARM64 (machine 0x%04x)" % pe.machine)
            print(MACHINES[pe.machine])
        elif len(argv) == 2 and argv[0] == "signer":
            signature = Signature(read_signature(read(argv[1])))
            problems = signature.problems()
            if problems:
                raise Unfit("a broken signature: " + "; ".join(problems))
            sys.stdout.buffer.write(certificate_pem(signature.signer_certificate()))
        elif len(argv) == 3 and argv[0] == "extract":
            extract(argv[1], argv[2])
        elif len(argv) == 4 and argv[0] == "attach":
            attach(read_signature(read(argv[1])), argv[2], argv[3])
        else:
            print(__doc__, file=sys.stderr)
            return 2
    except Unfit as why:
        print("%s: %s" % (os.path.basename(argv[-1]), why), file=sys.stderr)
        return 2
    except subprocess.TimeoutExpired as stuck:
        print("%s did not finish in %d s" % (stuck.cmd[0], TOOL_SECONDS), file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
