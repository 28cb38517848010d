#!/usr/bin/env python3
"""Lists what Python's email package reads in a message, for the header
safety tests: "F index name" for every field of every entity (walk()
order), "P index key hexvalue" for every Content-Type parameter.

Usage: list_fields.py MESSAGE
"""
import email
import email.policy
import sys

msg = email.message_from_bytes(open(sys.argv[1], "rb").read(), policy=email.policy.default)
for k, part in enumerate(msg.walk()):
    for name in part.keys():
        print("F", k, name)
    ct = part["content-type"]
    for key, value in (ct.params.items() if ct is not None else ()):
        print("P", k, key, value.encode("utf-8").hex() or "-")
