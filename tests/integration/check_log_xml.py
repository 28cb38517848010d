#!/usr/bin/env python3
"""Reads an activity log file ("smtp_errors.xml") with Python's own XML
parser, as a reader of the file would: check_log_xml.py FILE

Exit status 0 when the file is well-formed XML, 2 when it is not (the
parser's message on stderr). On success, one line per element in document
order: its tag, text and tail, each as hex of its UTF-8 bytes ("-" when
there is none), separated by tabs.
"""
import sys
import xml.etree.ElementTree as ET

try:
    root = ET.parse(sys.argv[1]).getroot()
except (ET.ParseError, OSError) as e:
    print("not well-formed: %s" % e, file=sys.stderr)
    sys.exit(2)
for el in root.iter():
    print("\t".join(s.encode("utf-8").hex() if s else "-" for s in (el.tag, el.text, el.tail)))
