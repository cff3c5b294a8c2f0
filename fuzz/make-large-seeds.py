#!/usr/bin/env python3
"""Writes the large inputs that once broke something, one folder per fuzz target, into the
folder given. They are generated rather than committed because of their size."""
import os
import sys

out = sys.argv[1]


def write(target, name, data):
    os.makedirs(os.path.join(out, target), exist_ok=True)
    with open(os.path.join(out, target, name), "wb") as f:
        f.write(data)


def fill(unit, size):
    return unit * (size // len(unit))


# Markup that sent the HTML parser quadratic, and bodies that did the same to the link search.
hostile_html = {
    "unclosed-formatting": b"<b><i><u><font>",
    "deep-nesting": b"<x>",
    "unclosed-tables": b"<table><tr><td>",
    "unclosed-divs": b"<div>t",
    "misnested": b"<a><b></a><p>",
}
for name, unit in hostile_html.items():
    write("analysis", name, b"subject\0From: a@b.example\r\n\0<html>" + fill(unit, 480000) + b"\0")
write("analysis", "standards-links", b"\0\0" + fill(b'<a href="http://www.w3.org/">x ', 480000) + b"\0")
write("analysis", "markers", b"\0\0" + fill(b"=20=3D&nbsp;", 480000) + b"\0")

# The same bodies as messages, and a message nested as deep as its size allows.
for name, unit in hostile_html.items():
    write("message_snapshot", name,
          b"From: a@b.example\r\nSubject: x\r\nContent-Type: text/html\r\n\r\n" + fill(unit, 480000))
nested = b""
for i in range(2000):
    nested += b"Content-Type: multipart/mixed; boundary=b%d\r\n\r\n--b%d\r\n" % (i, i)
write("message_snapshot", "deep-mime", b"From: a@b.example\r\nSubject: deep\r\n" + nested)

# A binary file handed to the profile layer (setup once rewrote bytes of such a file).
write("profile", "binary", bytes((i * 7919 + i // 13) % 256 for i in range(1 << 20)))
write("profile", "many-keys", b"[S]\r\n" + b"".join(b"k%d = v\r\n" % i for i in range(50000)))

write("regedit", "many-keys", b"REGEDIT4\r\n\r\n" + b"".join(
    b'[HKEY_CURRENT_USER\\Software\\K%d]\r\n"v"="x"\r\n\r\n' % i for i in range(20000)))

write("xml_store", "deep", b"<Vexmor>" + b"<a>" * 100000 + b"</Vexmor>")
write("xml_store", "many-entries", b"<Vexmor>" + b"".join(
    b"<Id>user%d@example.com</Id>" % i for i in range(20000)) + b"</Vexmor>")

write("sigd_request", "long-header",
      b"GET /cgi-bin/checksum_compare.cgi?checksum_val=1 HTTP/1.1\r\nX: " + b"a" * 100000 + b"\r\n\r\n")
