#!/usr/bin/python3
"""Random NTLMv1 cases with the responses impacket computes for them.

Usage: ntlm_oracle.py SEED COUNT

One line per case, tab-separated hex: username (UTF-8), password (UTF-8),
server challenge, client challenge, server flags, LM response, NT response.
Passwords mix ASCII with Latin-1 letters, some longer than 14 characters;
impacket upper-cases in Python and encodes Latin-1 for the LM hash, so the
letters whose capital leaves Latin-1 or becomes two letters are left out.
Exit 77 when impacket is not installed.
"""
import random
import sys

try:
    from impacket import ntlm
except ImportError:
    sys.exit(77)

LATIN1 = [chr(c) for c in range(0xC0, 0x100) if chr(c) not in "\u00df\u00ff\u00d7\u00f7"]
ALPHABET = [chr(c) for c in range(0x21, 0x7F)] + LATIN1 + [" "]

seed, count = int(sys.argv[1]), int(sys.argv[2])
rnd = random.Random(seed)
for _ in range(count):
    user = "".join(rnd.choice(ALPHABET) for _ in range(rnd.randint(1, 24)))
    password = "".join(rnd.choice(ALPHABET) for _ in range(rnd.randint(1, 20)))
    server = bytes(rnd.getrandbits(8) for _ in range(8))
    client = bytes(rnd.getrandbits(8) for _ in range(8))
    flags = 0x00008205 | (ntlm.NTLMSSP_NEGOTIATE_EXTENDED_SESSIONSECURITY if rnd.random() < 0.5 else 0)
    nt, lm, _ = ntlm.computeResponseNTLMv1(flags, server, client, "", "", user, password, "", "", False)
    print("\t".join([user.encode().hex(), password.encode().hex(), server.hex(), client.hex(),
                     "%08x" % flags, lm.hex(), nt.hex()]))
