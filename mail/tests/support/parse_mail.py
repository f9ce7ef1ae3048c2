#!/usr/bin/python3
"""Describes a message as Python's email package (policy.default) sees it.

  parse_mail.py <message file> <output dir>

Prints tab-separated lines:
  header <name> <hex of the decoded value, UTF-8>
  addr <header name> <hex of the display name> <hex of the address>
  part <path> <content type> <disposition|-> <filename|-> <content id|->
  defect <path> <defect class>
and writes the decoded payload of every leaf part to <output dir>/<path>.bin.
"""
import email
import os
import sys
from email import policy


def hexs(s):
    return s.encode("utf-8", "surrogateescape").hex()


def walk(part, path, out):
    cd = part.get_content_disposition() or "-"
    fn = part.get_filename() or "-"
    cid = part.get("Content-ID")
    cid = str(cid) if cid is not None else "-"
    print("part\t%s\t%s\t%s\t%s\t%s" % (path, part.get_content_type(), cd, hexs(fn), hexs(cid)))
    for d in part.defects:
        print("defect\t%s\t%s" % (path, type(d).__name__))
    if part.is_multipart():
        for i, sub in enumerate(part.iter_parts()):
            walk(sub, "%s.%d" % (path, i), out)
    else:
        data = part.get_payload(decode=True) or b""
        with open(os.path.join(out, path + ".bin"), "wb") as f:
            f.write(data)


def main():
    with open(sys.argv[1], "rb") as f:
        msg = email.message_from_binary_file(f, policy=policy.default)
    for name, raw in msg.raw_items():
        try:
            value = msg.policy.header_fetch_parse(name, raw)
        except Exception as e:
            print("defect\theader:%s\t%s" % (name, type(e).__name__))
            continue
        print("header\t%s\t%s" % (name, hexs(str(value))))
        for a in getattr(value, "addresses", ()):
            print("addr\t%s\t%s\t%s" % (name, hexs(a.display_name), hexs(a.addr_spec)))
        for d in getattr(value, "defects", ()):
            print("defect\theader:%s\t%s" % (name, type(d).__name__))
    walk(msg, "0", sys.argv[2])


main()
