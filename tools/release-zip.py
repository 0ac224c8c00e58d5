#!/usr/bin/env python3
"""The release zip: what goes in it, and what comes out of one.

    release-zip.py zip ZIP EXE     packs EXE with the texts into ZIP
    release-zip.py texts DIR       writes the texts alone into DIR
    release-zip.py unpack ZIP DIR  unpacks a release zip, refusing anything else

A zip holds vimra.exe, readme.txt (the user guide that opens README.md, in
plain text) and LICENSE.txt, both texts with CRLF line ends so Notepad on
any Windows shows them right. It is the same bytes on every run from the
same tree and exe: fixed entry times and modes, a fixed order. The zip is
written aside and renamed into place, so a failed run leaves no part of one.
Exit 2, with the reason on stderr, for a file that is not a release zip.
"""
import os
import re
import sys
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)
from harness.table import layout  # noqa: E402
ENTRIES = ["LICENSE.txt", "readme.txt", "vimra.exe"]
# The user guide is README.md down to this line; what follows is for
# developers and stays out of the zip.
GUIDE_END = "<!-- readme.txt ends here -->"
# Any fixed moment will do; this one is the year of the release.
STAMP = (2026, 1, 1, 0, 0, 0)


def inline(text):
    text = re.sub(r"\[([^\]]*)\]\(([^)]*)\)", r"\1 (\2)", text)
    return text.replace("`", "").replace("**", "")


def table(rows):
    cells = [[inline(c.strip()) for c in r.strip().strip("|").split("|")] for r in rows]
    header, body = cells[0], [r for r in cells[1:] if not all(set(c) <= set("-: ") for c in r)]
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
    text = re.sub(r"\n{3,}", "\n\n", "\n".join(out)).strip("\n") + "\n"
    return text


def crlf(text):
    return text.replace("\r\n", "\n").replace("\n", "\r\n").encode("utf-8")


def texts():
    """readme.txt and LICENSE.txt as this tree makes them."""
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        guide = plain(f.read())
    with open(os.path.join(ROOT, "LICENSE"), encoding="utf-8") as f:
        licence = f.read()
    return {"LICENSE.txt": crlf(licence), "readme.txt": crlf(guide)}


def pack(target, exe):
    with open(exe, "rb") as f:
        entries = dict(texts(), **{"vimra.exe": f.read()})
    with zipfile.ZipFile(target + ".tmp", "w") as archive:
        for name in sorted(entries):
            entry = zipfile.ZipInfo(name, date_time=STAMP)
            entry.compress_type = zipfile.ZIP_DEFLATED
            entry.create_system = 3  # Unix, so the mode below is read
            entry.external_attr = 0o100644 << 16  # a regular file, rw-r--r--
            archive.writestr(entry, entries[name], compresslevel=9)
    os.replace(target + ".tmp", target)


def refuse(why):
    print("%s: %s" % (os.path.basename(sys.argv[0]), why), file=sys.stderr)
    sys.exit(2)


def unpack(archive, into):
    name = os.path.basename(archive)
    if not os.path.isfile(archive):
        refuse("no such file: %s" % archive)
    if not zipfile.is_zipfile(archive):
        refuse("%s is not a zip file" % name)
    try:
        with zipfile.ZipFile(archive) as z:
            names = sorted(z.namelist())
            if names != ENTRIES:
                refuse("%s is not a vimra release zip: it holds %s, not %s"
                       % (name, ", ".join(names) or "nothing", ", ".join(ENTRIES)))
            # Names checked above, so nothing lands outside the folder.
            z.extractall(into)
    except (zipfile.BadZipFile, OSError, EOFError) as error:
        refuse("%s cannot be unpacked: %s" % (name, error))


def main(argv):
    if len(argv) == 3 and argv[0] == "zip":
        pack(argv[1], argv[2])
    elif len(argv) == 2 and argv[0] == "texts":
        for name, data in texts().items():
            with open(os.path.join(argv[1], name), "wb") as f:
                f.write(data)
    elif len(argv) == 3 and argv[0] == "unpack":
        unpack(argv[1], argv[2])
    else:
        refuse("usage: zip ZIP EXE | texts DIR | unpack ZIP DIR")


if __name__ == "__main__":
    main(sys.argv[1:])
