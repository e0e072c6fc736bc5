#!/usr/bin/env python3
"""Writes Wi-Fi tools archives and web bundles that try to leave their place,
made with tarfile, zipfile, GNU tar (--transform) and zip (-y), into OUTDIR:

  wifi_good.tar      GNU tar of Wifi/ with a script and a program
  wifi_outside.tar   Wifi/, then etc/escape.conf and usr/html/escape.htm
  wifi_dotdot.tar    Wifi/../etc/escape.conf, named so by tar -P --transform
  wifi_abs.tar       /etc/escape.conf
  wifi_symlink.tar   Wifi/etc -> ../etc, then Wifi/etc/escape.conf
  wifi_hardlink.tar  Wifi/passwd linked to /etc/passwd
  wifi_device.tar    a character device under Wifi/
  wifi_cut.tar       a file whose data runs past the archive's end
  wifi_nofolder.tar  Wifi/first.sh before any Wifi/ folder entry

  zip_good.zip       zip of a page and a folder, with zip's extra fields
  zip_reversed.zip   the same with its central directory in reverse order
  zip_dotdot.zip     ../escape.htm and a/../../escape.htm
  zip_abs.zip        /etc/escape.htm
  zip_backslash.zip  ..\\escape.htm
  zip_symlink.zip    link.htm -> /etc/passwd (zip -y)
  zip_budget.zip     8 MiB of zeros, a few KiB deflated
  zip_sizelie.zip    an entry that inflates to more than it states
  zip_overlap.zip    two entries over the same data
  zip_badcrc.zip     a stored entry whose CRC is wrong
  zip_encrypted.zip  an entry flagged encrypted
  zip_hidden.zip     a plain page; the end record's comment holds a second
                     zip (links into etc, an unchecked page, 60 MiB of zeros)
                     whose own end record does not reach the file's end
  zip_unicode.zip    a page renamed by a Unicode Path extra field (0x7075)
  zip_localsize.zip  a local header whose sizes differ from the central ones
  zip_dot.zip        a page, then an entry named "."
  zip_dirfile.zip    a page, a folder y/, then a file y
  zip_listing.zip    a page, then customzip.txt/x.htm
  zip_page.zip       a page, then admin_update.htm/x.htm and index.htm/x.htm

Every hostile name aims at escape.conf or escape.htm.
"""
import io
import os
import struct
import subprocess
import sys
import tarfile
import zipfile
import zlib


def tar_of(path, members):
    """members: (TarInfo, bytes or None)."""
    target = {"fileobj": path} if isinstance(path, io.BytesIO) else {"name": path}
    with tarfile.open(mode="w", format=tarfile.USTAR_FORMAT, **target) as t:
        for info, data in members:
            t.addfile(info, io.BytesIO(data) if data is not None else None)


def entry(name, kind=tarfile.REGTYPE, data=None, link=""):
    info = tarfile.TarInfo(name)
    info.type = kind
    info.mode = 0o755 if kind == tarfile.DIRTYPE else 0o644
    info.linkname = link
    info.size = len(data) if data is not None else 0
    return info, data


def wifi_archives(out, scratch):
    tree = os.path.join(scratch, "tree")
    os.makedirs(os.path.join(tree, "Wifi", "bin"), exist_ok=True)
    os.makedirs(os.path.join(tree, "etc"), exist_ok=True)
    os.makedirs(os.path.join(tree, "usr", "html"), exist_ok=True)
    with open(os.path.join(tree, "Wifi", "wifi_configure.sh"), "w") as f:
        f.write("#!/bin/sh\necho configure\n")
    # Larger than the walk's copy buffer; set-user-ID, which the walk drops.
    with open(os.path.join(tree, "Wifi", "bin", "tool"), "wb") as f:
        f.write(os.urandom(40000))
    os.chmod(os.path.join(tree, "Wifi", "bin", "tool"), 0o4755)
    os.chmod(os.path.join(tree, "Wifi", "wifi_configure.sh"), 0o755)
    with open(os.path.join(tree, "etc", "escape.conf"), "w") as f:
        f.write("escaped\n")
    with open(os.path.join(tree, "usr", "html", "escape.htm"), "w") as f:
        f.write("<p>escaped</p>\n")
    run = lambda *a: subprocess.run(a, check=True, cwd=tree)
    run("tar", "--format=ustar", "-cf", os.path.join(out, "wifi_good.tar"), "Wifi")
    run("tar", "--format=ustar", "-cf", os.path.join(out, "wifi_outside.tar"), "Wifi", "etc", "usr")
    run("tar", "--format=ustar", "-P", "-cf", os.path.join(out, "wifi_dotdot.tar"),
        "--transform=s,^etc,Wifi/../etc,", "Wifi", "etc/escape.conf")
    top = entry("Wifi/", tarfile.DIRTYPE)
    body = b"escaped\n"
    tar_of(os.path.join(out, "wifi_abs.tar"), [top, entry("/etc/escape.conf", data=body)])
    tar_of(os.path.join(out, "wifi_symlink.tar"),
           [top, entry("Wifi/etc", tarfile.SYMTYPE, link="../etc"),
            entry("Wifi/etc/escape.conf", data=body)])
    tar_of(os.path.join(out, "wifi_hardlink.tar"),
           [top, entry("Wifi/passwd", tarfile.LNKTYPE, link="/etc/passwd")])
    dev = entry("Wifi/null", tarfile.CHRTYPE)
    dev[0].devmajor, dev[0].devminor = 1, 3
    tar_of(os.path.join(out, "wifi_device.tar"), [top, dev])
    tar_of(os.path.join(out, "wifi_nofolder.tar"), [entry("Wifi/first.sh", data=body), top])
    # The size field says 1000 bytes; the archive ends after one block of data.
    buf = io.BytesIO()
    tar_of(buf, [top, entry("Wifi/big", data=b"x" * 512)])
    raw = bytearray(buf.getvalue())
    hdr = raw[512:1024]
    hdr[124:136] = b"%011o\0" % 1000
    hdr[148:156] = b" " * 8
    hdr[148:156] = b"%06o\0 " % sum(hdr)
    raw[512:1024] = hdr
    with open(os.path.join(out, "wifi_cut.tar"), "wb") as f:
        f.write(bytes(raw[:512 * 3]))


def zip_of(path, members):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in members:
            z.writestr(name, data)


def patch_central(raw, name, fn):
    """Applies fn(raw, offset) to the central directory entry of name."""
    at = raw.find(b"PK\x01\x02")
    while at >= 0:
        n = struct.unpack_from("<H", raw, at + 28)[0]
        if raw[at + 46:at + 46 + n] == name:
            fn(raw, at)
            return
        at = raw.find(b"PK\x01\x02", at + 46 + n)
    raise SystemExit("no entry %r" % name)


def zip_bundles(out, scratch):
    page = os.path.join(scratch, "page")
    os.makedirs(os.path.join(page, "img"), exist_ok=True)
    with open(os.path.join(page, "bundle_test.htm"), "w") as f:
        f.write("<html><body>bundle page 7391</body></html>\n")
    with open(os.path.join(page, "img", "dot.txt"), "w") as f:
        f.write("dot\n")
    os.symlink("/etc/passwd", os.path.join(page, "link.htm"))
    subprocess.run(["zip", "-q", "-r", os.path.join(out, "zip_good.zip"), "bundle_test.htm", "img"],
                   check=True, cwd=page)
    subprocess.run(["zip", "-q", "-X", "-y", os.path.join(out, "zip_symlink.zip"), "bundle_test.htm",
                    "link.htm"], check=True, cwd=page)
    raw = open(os.path.join(out, "zip_good.zip"), "rb").read()
    cd, end = raw.find(b"PK\x01\x02"), raw.find(b"PK\x05\x06")
    entries, at = [], cd
    while at < end:
        n, e, c = struct.unpack_from("<HHH", raw, at + 28)
        entries.append(raw[at:at + 46 + n + e + c])
        at += 46 + n + e + c
    with open(os.path.join(out, "zip_reversed.zip"), "wb") as f:
        f.write(raw[:cd] + b"".join(reversed(entries)) + raw[end:])
    ok = ("ok.htm", "<p>ok</p>\n")
    zip_of(os.path.join(out, "zip_dotdot.zip"), [ok, ("../escape.htm", "x"), ("a/../../escape.htm", "x")])
    zip_of(os.path.join(out, "zip_abs.zip"), [ok, ("/etc/escape.htm", "x")])
    zip_of(os.path.join(out, "zip_backslash.zip"), [ok, ("..\\escape.htm", "x")])
    zip_of(os.path.join(out, "zip_budget.zip"), [ok, ("zeros.bin", b"\0" * (8 << 20))])

    # Stated 100 bytes; the stream gives 100000 (the CRC is the real one).
    buf = io.BytesIO()
    zip_of(buf, [ok, ("lie.bin", b"\0" * 100000)])
    raw = bytearray(buf.getvalue())
    patch_central(raw, b"lie.bin", lambda r, at: struct.pack_into("<I", r, at + 24, 100))
    loc = [i for i in range(len(raw)) if raw[i:i + 4] == b"PK\x03\x04"][1]
    struct.pack_into("<I", raw, loc + 22, 100)
    with open(os.path.join(out, "zip_sizelie.zip"), "wb") as f:
        f.write(bytes(raw))

    # A second central entry over the first one's local header and data.
    buf = io.BytesIO()
    zip_of(buf, [("a.htm", "<p>" + "a" * 3000 + "</p>")])
    raw = bytearray(buf.getvalue())
    cd = raw.find(b"PK\x01\x02")
    end = raw.find(b"PK\x05\x06")
    central = raw[cd:end]
    tail = bytearray(raw[end:])
    count, size = struct.unpack_from("<HH", tail, 8)[0], struct.unpack_from("<I", tail, 12)[0]
    struct.pack_into("<HHI", tail, 8, count * 2, count * 2, size * 2)
    with open(os.path.join(out, "zip_overlap.zip"), "wb") as f:
        f.write(bytes(raw[:cd] + central + central + tail))

    with zipfile.ZipFile(os.path.join(out, "zip_badcrc.zip"), "w", zipfile.ZIP_STORED) as z:
        z.writestr("crc.htm", "<p>crc</p>\n")
    raw = bytearray(open(os.path.join(out, "zip_badcrc.zip"), "rb").read())
    patch_central(raw, b"crc.htm", lambda r, at: struct.pack_into("<I", r, at + 16, 0x12345678))
    open(os.path.join(out, "zip_badcrc.zip"), "wb").write(bytes(raw))

    buf = io.BytesIO()
    zip_of(buf, [ok])
    raw = bytearray(buf.getvalue())
    patch_central(raw, b"ok.htm", lambda r, at: struct.pack_into("<H", r, at + 8, 1))
    struct.pack_into("<H", raw, 6, 1)
    open(os.path.join(out, "zip_encrypted.zip"), "wb").write(bytes(raw))

    # Names that stay below the web root but that it cannot take as written.
    zip_of(os.path.join(out, "zip_dot.zip"), [ok, (".", "x")])
    zip_of(os.path.join(out, "zip_dirfile.zip"), [ok, ("y/", ""), ("y", "x")])
    zip_of(os.path.join(out, "zip_listing.zip"), [ok, ("customzip.txt/x.htm", "x")])
    zip_of(os.path.join(out, "zip_page.zip"), [ok, ("admin_update.htm/x.htm", "x"), ("index.htm/x.htm", "x")])


def zip_tricks(out):
    """Zips that another reader would unpack otherwise than our check reads them."""
    ok = ("ok.htm", "<p>ok</p>\n")
    outer = io.BytesIO()
    zip_of(outer, [ok])
    raw = bytearray(outer.getvalue())
    base = len(raw)
    inner = io.BytesIO()
    with zipfile.ZipFile(inner, "w", zipfile.ZIP_DEFLATED) as z:
        for name, target in (("rt-lnk", "../../etc"), ("customzip.txt", "../../etc/rt-victim.sh"),
                             ("config.txt", "../../etc/escape.conf")):
            info = zipfile.ZipInfo(name)
            info.create_system = 3
            info.external_attr = 0o120777 << 16
            z.writestr(info, target)
        z.writestr("unchecked.htm", "<p>unchecked</p>\n")
        z.writestr("zeros.bin", b"\0" * (60 << 20))
    hidden = bytearray(inner.getvalue())
    # Its offsets as from the start of the whole file, a comment length of
    # 1 with 3 bytes after it.
    end = hidden.rfind(b"PK\x05\x06")
    at = struct.unpack_from("<I", hidden, end + 16)[0]
    struct.pack_into("<I", hidden, end + 16, at + base)
    while at < end:
        off = struct.unpack_from("<I", hidden, at + 42)[0]
        struct.pack_into("<I", hidden, at + 42, off + base)
        at += 46 + sum(struct.unpack_from("<HHH", hidden, at + 28))
    struct.pack_into("<H", hidden, end + 20, 1)
    hidden += b"xyz"
    struct.pack_into("<H", raw, len(raw) - 2, len(hidden))
    open(os.path.join(out, "zip_hidden.zip"), "wb").write(bytes(raw + hidden))

    # Unicode Path: version 1, the CRC of the header's name, the new name.
    info = zipfile.ZipInfo("uni.htm")
    info.extra = struct.pack("<HHB", 0x7075, 5 + 10, 1) + struct.pack("<I", zlib.crc32(b"uni.htm")) + \
        b"escape.htm"
    with zipfile.ZipFile(os.path.join(out, "zip_unicode.zip"), "w") as z:
        z.writestr(*ok)
        z.writestr(info, "<p>renamed</p>\n")

    # Stored; the local header says 4 bytes, the central one all 12.
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_STORED) as z:
        z.writestr("short.htm", "<p>abc</p>\n")
    raw = bytearray(buf.getvalue())
    struct.pack_into("<II", raw, 18, 4, 4)
    open(os.path.join(out, "zip_localsize.zip"), "wb").write(bytes(raw))


def main():
    out = os.path.abspath(sys.argv[1])
    scratch = os.path.join(out, ".work")
    os.makedirs(scratch, exist_ok=True)
    wifi_archives(out, scratch)
    zip_bundles(out, scratch)
    zip_tricks(out)
    subprocess.run(["rm", "-rf", scratch], check=True)


if __name__ == "__main__":
    main()
