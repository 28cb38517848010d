#!/usr/bin/env python3
"""Checks one delivered message with Python's own e-mail parser.

    check_message.py SOURCE [NAME=VALUE ...]

SOURCE is the raw message, or "jsonl:FILE" for the last record of a JSON
lines file as aiosmtpd_server.py writes (then the envelope can be checked).
Expectations: from= to= cc= (an address in that header), from-name= to-name=
(a display name there), from-words= to-words= (its words, blanks between
them counted as one, and exactly as an RFC 2047 decoder reads the field), subject= (decoded), text= html= (the body contains),
text-is= (the plain body, line ends as LF), no-header=NAME, only-headers=A,B
(no other field but Content-*, in any part), attachment=NAME:PATH (an
attachment whose bytes equal the file; the last colon separates),
attachment-charset=NAME:CHARSET (its charset parameter, "-" for none),
attachment-text=NAME:TEXT (the text a reader shows, line ends as LF),
mail-from= rcpt= login= (the envelope); rfc6532 reads a header that may be
UTF-8 (an SMTPUTF8 message). Parser defects fail too, except the
notes on the encoded words that file names carry in quoted parameters on
purpose. Prints one line per failure; exit status 0 when there is none.
"""
import email
import email.errors
import email.header
import email.policy
import json
import sys

QUOTED_WORD_NOTES = ("encoded word inside quoted string", "missing trailing whitespace after encoded-word")


def rfc2047_text(raw, name):
    """The field as an RFC 2047 reader shows it: unfolded, encoded words
    decoded, the blanks between two adjacent encoded words dropped."""
    value = email.message_from_bytes(raw, policy=email.policy.compat32).get(name, "")
    unfolded = value.replace("\r\n", "").replace("\n", "")
    return str(email.header.make_header(email.header.decode_header(unfolded)))


def main():
    source, expectations = sys.argv[1], sys.argv[2:]
    envelope = {}
    if source.startswith("jsonl:"):
        with open(source[6:], encoding="utf-8") as f:
            records = [json.loads(line) for line in f if line.strip()]
        if not records:
            print("no message was delivered")
            return 1
        envelope = records[-1]
        raw = envelope["data"].encode("latin-1")
    else:
        with open(source, "rb") as f:
            raw = f.read()
    # rfc6532: a message for an SMTPUTF8 transaction, whose header may be
    # UTF-8 (RFC 6532); the parser reads header bytes as UTF-8 text then, and
    # a local part that is not ASCII is no defect there.
    utf8_header = "rfc6532" in expectations
    expectations = [e for e in expectations if e != "rfc6532"]
    if utf8_header:
        msg = email.message_from_string(raw.decode("utf-8"), policy=email.policy.default)
    else:
        msg = email.message_from_bytes(raw, policy=email.policy.default)
    problems = []

    def field(name, what):
        header = msg.get(name)
        return [getattr(a, what) for a in header.addresses] if header is not None else []

    def body(kind):
        part = msg.get_body(preferencelist=(kind,))
        return part.get_content() if part is not None else None

    def lf(text):
        return text.replace("\r\n", "\n").rstrip("\n")

    for exp in expectations:
        name, _, value = exp.partition("=")
        if name in ("from", "to", "cc", "from-name", "to-name"):
            got = field(name.split("-")[0], "display_name" if name.endswith("-name") else "addr_spec")
            ok = value in got
        elif name in ("from-words", "to-words"):
            # The display name's words: Python's address parser keeps the
            # blank between two encoded words of a phrase, which RFC 2047
            # (6.2) readers drop; its RFC 2047 decoder must read the name
            # exactly.
            got = [" ".join(n.split()) for n in field(name.split("-")[0], "display_name")]
            decoded = rfc2047_text(raw, name.split("-")[0])
            ok = value in got and value in decoded
            got = (got, decoded)
        elif name == "only-headers":
            allowed = {h.strip().lower() for h in value.split(",")}
            got = [(f, str(p[f])[:200]) for p in msg.walk() for f in p.keys()
                   if f.lower() not in allowed and not f.lower().startswith("content-")]
            ok = not got
        elif name == "no-header":
            got = msg.get(value)
            ok = got is None
        elif name == "subject":
            got = str(msg.get("subject"))
            ok = got == value
        elif name in ("text", "html", "text-is"):
            got = body("html" if name == "html" else "plain")
            ok = got is not None and (lf(got) == lf(value) if name == "text-is" else value in got)
        elif name == "attachment":
            filename, _, path = value.rpartition(":")
            with open(path, "rb") as f:
                want = f.read()
            got = [(p.get_filename(), p.get_payload(decode=True) == want) for p in msg.iter_attachments()]
            ok = (filename, True) in got
        elif name in ("attachment-charset", "attachment-text"):
            # The charset parameter of the named attachment ("-" for none), or
            # the text a reader shows inline (get_content, line ends as LF).
            filename, _, want = value.partition(":")
            parts = [p for p in msg.iter_attachments() if p.get_filename() == filename]
            if name == "attachment-charset":
                got = [p.get_param("charset") or "-" for p in parts]
            else:
                got = [lf(p.get_content()) if p.get_content_maintype() == "text" else None for p in parts]
                want = lf(want)
            ok = got == [want]
        elif name in ("mail-from", "rcpt", "login"):
            got = envelope.get({"mail-from": "mail_from", "rcpt": "rcpt_tos", "login": "login"}[name])
            ok = value in (got or []) if name == "rcpt" else got == value
        else:
            got, ok = "unknown expectation", False
        if not ok:
            problems.append("%s: want %r, got %r" % (name, value, got))
    for part in msg.walk():
        if part.defects:
            problems.append("parser defects: %r" % part.defects)
        for name, value in part.items():
            bad = [d for d in getattr(value, "defects", ()) if not any(n in str(d) for n in QUOTED_WORD_NOTES)
                   and not (utf8_header and isinstance(d, email.errors.NonASCIILocalPartDefect))]
            if bad:
                problems.append("header %s defects: %r" % (name, bad))
    for p in problems:
        print(p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
