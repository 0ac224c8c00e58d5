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
    end = tlv(der, 0)[2]
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
    last = lambda pe: max([s[1] + s[2] for s in pe.sections] + [pe.headers_size])
    if got[last(pg):pg.content_end()] != want[last(pw):pw.content_end()]:
        found.append("bytes after the last section")
    return found


# ---- PKCS#7 ---------------------------------------------------------------

def tlv(data, at):
    """The DER element at `at`: its tag, where its value starts and ends."""
    if at + 2 > len(data):
        raise Unfit("a signature cut short")
    tag, length = data[at], data[at + 1]
    start = at + 2
    if length & 0x80:
        count = length & 0x7F
        if count == 0 or count > 4:
            raise Unfit("a signature not in DER")
        length = int.from_bytes(data[start:start + count], "big")
        start += count
    if start + length > len(data):
        raise Unfit("a signature cut short")
    return tag, start, start + length


def children(data, start, end):
    out = []
    while start < end:
        tag, value, after = tlv(data, start)
        out.append((tag, start, value, after))
        start = after
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
    return blob[:tlv(blob, 0)[2]]


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
        _, s, e = tlv(d, 0)
        info = children(d, s, e)
        signed = children(d, *tlv(d, info[1][2])[1:])
        items = {tag: (begin, value, after) for tag, begin, value, after in signed}
        # The signed content: the program's digest, in SpcIndirectDataContent.
        content = children(d, signed[2][2], signed[2][3])
        indirect = tlv(d, content[1][2])
        self.content = d[indirect[1]:indirect[2]]
        digest_info = children(d, *tlv(d, children(d, indirect[1], indirect[2])[1][1])[1:])
        algorithm = children(d, digest_info[0][2], digest_info[0][3])
        self.sha256 = d[algorithm[0][2]:algorithm[0][3]] == SHA256
        self.file_digest = d[digest_info[1][2]:digest_info[1][3]]
        # The signer: its certificate is named by issuer and serial number.
        self.certificates = []
        if 0xA0 in items:
            begin, value, after = items[0xA0]
            self.certificates = [d[b:a] for _, b, _, a in children(d, value, after)]
        signer_infos = signed[-1]
        signer = children(d, signer_infos[2], signer_infos[3])[0]
        fields = children(d, signer[2], signer[3])
        issuer_serial = children(d, fields[1][2], fields[1][3])
        self.issuer = d[issuer_serial[0][1]:issuer_serial[0][3]]
        self.serial = d[issuer_serial[1][1]:issuer_serial[1][3]]
        attributes = fields[3]
        if attributes[0] != 0xA0:
            raise Unfit("a signature without signed attributes")
        # What is signed is the attributes as a SET, not in their [0] tag.
        self.signed_attributes = b"\x31" + d[attributes[1] + 1:attributes[3]]
        self.message_digest = None
        for _, _, value, after in children(d, attributes[2], attributes[3]):
            oid, values = children(d, value, after)[:2]
            if d[oid[2]:oid[3]] == MESSAGE_DIGEST:
                octets = children(d, values[2], values[3])[0]
                self.message_digest = d[octets[2]:octets[3]]
        self.signature_value = d[fields[5][2]:fields[5][3]]

    def signer_certificate(self):
        for cert in self.certificates:
            tbs = children(cert, *tlv(cert, tlv(cert, 0)[1])[1:])
            first = 1 if tbs[0][0] == 0xA0 else 0  # the optional version
            serial, issuer = tbs[first], tbs[first + 2]
            if (cert[serial[1]:serial[3]] == self.serial
                    and cert[issuer[1]:issuer[3]] == self.issuer):
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
