#!/usr/bin/env python3
"""A real SMTP server for the integration tests: aiosmtpd on 127.0.0.1.

Prints "PORT <n>" once ready ("MISSING aiosmtpd" and exit status 3 without
the package). Exits when its standard input closes, so it never outlives the
test that started it, and in any case after --lifetime seconds. With --user
and --password, AUTH LOGIN and PLAIN are offered (on plain TCP) and checked
against that pair; --cram adds CRAM-MD5 (RFC 2195); --xoauth2 TOKEN adds
XOAUTH2 (the OAuth 2.0 bearer login of Google and Microsoft), which takes
exactly "user=USER^Aauth=Bearer TOKEN^A^A" and answers any other string
with a 334 carrying a base64 JSON error, then 535 after the client's empty
line. --host picks the address to listen on (default 127.0.0.1; "::1" for
IPv6). Every delivered message is appended to --messages as one JSON
object per line.
"""
import argparse
import asyncio
import hashlib
import hmac
import json
import logging
import os
import sys
import threading
import time
import warnings

try:
    from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword
except ImportError:
    print("MISSING aiosmtpd", flush=True)
    sys.exit(3)


class Handler:
    def __init__(self, args):
        self.args = args

    async def handle_DATA(self, server, session, envelope):
        if self.args.messages:
            login = getattr(session.auth_data, "login", None)
            record = {"mail_from": envelope.mail_from, "rcpt_tos": envelope.rcpt_tos,
                      "login": login.decode("utf-8", "replace") if isinstance(login, bytes) else login,
                      "data": envelope.content.decode("latin-1")}
            with open(self.args.messages, "a", encoding="utf-8") as f:
                f.write(json.dumps(record) + "\n")
        return "250 2.0.0 Message accepted"

    # Offered only with --xoauth2. args: the mechanism and the initial
    # response, base64.
    async def auth_XOAUTH2(self, server, args):
        import base64
        try:
            sent = base64.b64decode(args[1], validate=True) if len(args) > 1 else b""
        except Exception:
            sent = None
        want = b"user=%s\x01auth=Bearer %s\x01\x01" % (self.args.user.encode(), self.args.xoauth2.encode())
        if sent == want:
            return AuthResult(success=True, handled=False, auth_data=LoginPassword(self.args.user.encode(), b""))
        error = json.dumps({"status": "401", "schemes": "bearer", "scope": "https://mail.example.com/"})
        answer = await server.challenge_auth(error)  # "334 " + base64 of the JSON
        # The client must answer with an empty line; the final reply is ours.
        if answer != b"":
            await server.push("501 5.5.2 Expected an empty line after the XOAUTH2 error")
            return AuthResult(success=False, handled=True)
        return AuthResult(success=False, handled=False)

    # aiosmtpd turns "auth_CRAM__MD5" into the mechanism name "CRAM-MD5";
    # offered only with --cram.
    async def auth_CRAM__MD5(self, server, args):
        challenge = "<%d.%d@aiosmtpd.test>" % (os.getpid(), time.time_ns())
        answer = await server.challenge_auth(challenge)
        if not isinstance(answer, bytes):
            return AuthResult(success=False, handled=True)
        user, _, digest = answer.rpartition(b" ")
        want = hmac.new(self.args.password.encode(), challenge.encode(), hashlib.md5).hexdigest()
        ok = user == self.args.user.encode() and hmac.compare_digest(digest, want.encode())
        return AuthResult(success=ok, handled=False, auth_data=LoginPassword(user, b"") if ok else None)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--user")
    parser.add_argument("--password")
    parser.add_argument("--cram", action="store_true")
    parser.add_argument("--xoauth2", help="the one access token XOAUTH2 takes")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--messages")
    parser.add_argument("--exclude", action="append", default=[], help="a mechanism not to offer")
    parser.add_argument("--lifetime", type=float, default=120.0)
    args = parser.parse_args()
    # aiosmtpd warns about AUTH without TLS; keep stderr quiet.
    warnings.filterwarnings("ignore")
    logging.getLogger("mail.log").setLevel(logging.CRITICAL)

    def authenticator(server, session, envelope, mechanism, auth_data):
        ok = (isinstance(auth_data, LoginPassword) and args.user is not None
              and auth_data.login == args.user.encode() and auth_data.password == args.password.encode())
        # Handing the pair back makes it the session's auth_data, so the
        # delivery record can name the login.
        return AuthResult(success=ok, handled=False, auth_data=auth_data if ok else None)

    exclude = args.exclude + ([] if args.cram else ["CRAM-MD5"]) + ([] if args.xoauth2 else ["XOAUTH2"])
    auth = {"authenticator": authenticator, "auth_require_tls": False, "auth_exclude_mechanism": exclude}
    if args.user is None:  # no login offered at all
        auth = {"auth_exclude_mechanism": ["LOGIN", "PLAIN", "CRAM-MD5", "XOAUTH2"]}
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    handler = Handler(args)
    server = loop.run_until_complete(
        loop.create_server(lambda: SMTP(handler, hostname="aiosmtpd.test", loop=loop, **auth), args.host, 0))

    def watch_stdin():
        try:
            while sys.stdin.buffer.read(4096):
                pass
        finally:
            os._exit(0)

    threading.Thread(target=watch_stdin, daemon=True).start()
    loop.call_later(args.lifetime, loop.stop)
    print("PORT %d" % server.sockets[0].getsockname()[1], flush=True)
    loop.run_forever()


if __name__ == "__main__":
    main()
