#!/usr/bin/env python3
"""A scripted SMTP server with STARTTLS, on Python's ssl (OpenSSL), for the
TLS cases a real server cannot play: an impostor and a server that ends TLS
in the middle of a reply. It serves one connection on 127.0.0.1, prints its
port on stdout, and writes every line it read to RECORD (decrypted).

    tls_peer.py CHAIN KEY MODE RECORD [LIFETIME_S]

MODE
  impostor  offers AUTH PLAIN LOGIN and STARTTLS, shows CHAIN (a forged
            chain, say) and takes whatever the client sends after TLS, as a
            server that wants the password would
  cut       after the message text answers "250 2.0.0 que" without its line
            end, sends close_notify and keeps the connection open until the
            client closes it (or LIFETIME_S, 20 by default, runs out)

Exit status 0 once the conversation is over, 2 on usage errors.
"""
import socket
import ssl
import sys
import time


def main():
    if len(sys.argv) not in (5, 6) or sys.argv[3] not in ("impostor", "cut"):
        print(__doc__, file=sys.stderr)
        return 2
    chain, key, mode, record = sys.argv[1:5]
    lifetime = float(sys.argv[5]) if len(sys.argv) == 6 else 20.0
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(chain, key)

    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    print(listener.getsockname()[1], flush=True)
    listener.settimeout(lifetime)
    try:
        conn, _ = listener.accept()
    except socket.timeout:
        return 0
    deadline = time.monotonic() + lifetime
    conn.settimeout(lifetime)
    lines = []
    state = {"sock": conn, "buffer": b""}

    def send(text):
        state["sock"].sendall(text.encode())

    def read_line():
        while b"\n" not in state["buffer"]:
            state["sock"].settimeout(max(0.1, deadline - time.monotonic()))
            chunk = state["sock"].recv(4096)
            if not chunk:
                return None
            state["buffer"] += chunk
        line, state["buffer"] = state["buffer"].split(b"\n", 1)
        text = line.rstrip(b"\r").decode("utf-8", "replace")
        lines.append(text)
        return text

    try:
        send("220 tls-peer.test ESMTP\r\n")
        while True:
            line = read_line()
            if line is None:
                break
            verb = line.split(" ", 1)[0].upper()
            tls = isinstance(state["sock"], ssl.SSLSocket)
            if verb == "EHLO":
                send("250-tls-peer.test\r\n250-AUTH PLAIN LOGIN\r\n" +
                     ("250 PIPELINING\r\n" if tls else "250 STARTTLS\r\n"))
            elif verb == "STARTTLS" and not tls:
                send("220 2.0.0 Ready to start TLS\r\n")
                state["sock"] = context.wrap_socket(conn, server_side=True)
                state["buffer"] = b""
            elif verb == "AUTH":
                # What a password thief answers: go on, then "accepted".
                send("334 VXNlcm5hbWU6\r\n" if line.upper() == "AUTH LOGIN" else
                     "235 2.7.0 Accepted\r\n")
            elif verb == "DATA":
                send("354 go ahead\r\n")
                while True:
                    body = read_line()
                    if body is None or body == ".":
                        break
                if mode == "cut":
                    send("250 2.0.0 que")
                    # close_notify, and the connection stays open: only the
                    # client's close ends it.
                    try:
                        state["sock"].unwrap()
                    except (OSError, ValueError):
                        pass
                    break
                send("250 2.0.0 queued\r\n")
            elif verb == "QUIT":
                send("221 bye\r\n")
                break
            elif verb in ("MAIL", "RCPT", "RSET", "NOOP"):
                send("250 OK\r\n")
            elif tls and len(line) > 0 and " " not in line:
                # A line of an AUTH LOGIN exchange (base64).
                send("334 UGFzc3dvcmQ6\r\n" if len(lines) % 2 else "235 2.7.0 Accepted\r\n")
            else:
                send("500 5.5.2 what?\r\n")
    except (OSError, ssl.SSLError):
        pass
    finally:
        with open(record, "w", encoding="utf-8") as out:
            out.write("".join(l + "\n" for l in lines))
        conn.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
