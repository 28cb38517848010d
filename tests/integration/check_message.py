#!/usr/bin/env python3
"""Checks one delivered message with Python's own e-mail parser.

    check_message.py SOURCE [expectation ...]

SOURCE is a file with the raw message, or "jsonl:FILE" for the last record
that aiosmtpd_server.py wrote with --messages (then the envelope can be
checked too). Expectations, each NAME=VALUE:
    from=ADDR  to=ADDR  cc=ADDR        an address in that header (repeatable)
    from-name=NAME  to-name=NAME       a display name in that header
    only-headers=A,B,...               no header field outside these and Content-*,
                                       in the message or any part
    no-header=NAME                     the header is absent
    subject=TEXT                       the decoded subject
    text=TEXT  html=TEXT               the text/plain (text/html) body contains TEXT
    text-is=TEXT                       the text/plain body is TEXT (line ends as LF)
    attachment=NAME:PATH               an attachment NAME whose bytes equal the file
                                       (the last colon separates them)
    mail-from=ADDR  rcpt=ADDR  login=NAME   envelope (jsonl only)
Parser defects fail the check, except the note on the encoded words that
file names carry inside quoted parameters on purpose.
Prints one line per failed expectation; exit status 0 when none failed.
"""
import email
import email.policy

# File names travel as encoded words inside quoted parameters on purpose;
# Python notes that form but decodes it.
QUOTED_WORD_NOTES = ("encoded word inside quoted string", "missing trailing whitespace after encoded-word")
import json
import sys


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
    msg = email.message_from_bytes(raw, policy=email.policy.default)
    problems = []

    def addresses(name):
        header = msg.get(name)
        return [a.addr_spec for a in header.addresses] if header is not None else []

    def names(name):
        header = msg.get(name)
        return [a.display_name for a in header.addresses] if header is not None else []

    def body(kind):
        part = msg.get_body(preferencelist=(kind,))
        return part.get_content() if part is not None else None

    for exp in expectations:
        name, _, value = exp.partition("=")
        if name in ("from", "to", "cc"):
            got = addresses(name)
            if value not in got:
                problems.append("%s: %r not in %r" % (name, value, got))
        elif name in ("from-name", "to-name"):
            got = names(name[:-5])
            if value not in got:
                problems.append("%s: %r not in %r" % (name, value, got))
        elif name == "only-headers":
            allowed = {h.strip().lower() for h in value.split(",")}
            for part in msg.walk():
                for field in part.keys():
                    if field.lower() not in allowed and not field.lower().startswith("content-"):
                        problems.append("unexpected header %r: %r" % (field, str(part[field])[:200]))
        elif name == "text-is":
            got = body("plain")
            if got is None or got.replace("\r\n", "\n").rstrip("\n") != value.replace("\r\n", "\n").rstrip("\n"):
                problems.append("text body: %r != %r" % (got, value))
        elif name == "no-header":
            if msg.get(value) is not None:
                problems.append("header %s present: %r" % (value, str(msg.get(value))))
        elif name == "subject":
            if str(msg.get("subject")) != value:
                problems.append("subject: %r != %r" % (str(msg.get("subject")), value))
        elif name in ("text", "html"):
            got = body("plain" if name == "text" else "html")
            if got is None or value not in got:
                problems.append("%s body: %r not in %r" % (name, value, got))
        elif name == "attachment":
            filename, _, path = value.rpartition(":")
            with open(path, "rb") as f:
                want = f.read()
            found = [p for p in msg.iter_attachments() if p.get_filename() == filename]
            if not found:
                problems.append("no attachment %r among %r" %
                                (filename, [p.get_filename() for p in msg.iter_attachments()]))
            elif found[0].get_content() != want:
                problems.append("attachment %r: bytes differ" % filename)
        elif name == "mail-from":
            if envelope.get("mail_from") != value:
                problems.append("MAIL FROM: %r != %r" % (envelope.get("mail_from"), value))
        elif name == "rcpt":
            if value not in envelope.get("rcpt_tos", []):
                problems.append("RCPT TO: %r not in %r" % (value, envelope.get("rcpt_tos")))
        elif name == "login":
            if envelope.get("login") != value:
                problems.append("login: %r != %r" % (envelope.get("login"), value))
        else:
            problems.append("unknown expectation %r" % exp)
    for part in msg.walk():
        if part.defects:
            problems.append("parser defects: %r" % part.defects)
        for field, value in part.items():
            bad = [d for d in getattr(value, "defects", ())
               if not any(note in str(d) for note in QUOTED_WORD_NOTES)]
            if bad:
                problems.append("header %s defects: %r" % (field, bad))
    for p in problems:
        print(p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
