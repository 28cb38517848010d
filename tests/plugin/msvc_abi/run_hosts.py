#!/usr/bin/python3
"""Runs the Visual C++ ABI hosts under Wine against smtp_plugin.dll.

every_slot_host drives every slot and sends one message to aiosmtpd on
127.0.0.1; this script then reads that message back with Python's email
package. delete_at_once_host destroys objects right after making them.
Exit status 0 when both hosts pass and the message is as sent.
"""
import argparse
import email
import email.policy
import json
import os
import subprocess
import sys
import tempfile

ATTACHMENT = b"attached by the ABI host\r\nline two \xc3\xa4\r\n"


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def run_host(args, exe, env_extra):
    env = dict(os.environ, **env_extra)
    proc = subprocess.run([args.wine, os.path.join(args.bin, exe)], env=env, cwd=args.work,
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          timeout=180)
    out = proc.stdout.decode("utf-8", "replace")
    print(f"--- {exe} (exit status {proc.returncode})")
    print(out, end="" if out.endswith("\n") else "\n")
    ok = proc.returncode == 0 and "all checks passed" in out and "FAILED" not in out
    if not ok:
        print(f"FAILED  {exe}")
    return ok


def check_message(messages_file):
    problems = []
    try:
        with open(messages_file, encoding="utf-8") as f:
            records = [json.loads(line) for line in f if line.strip()]
    except FileNotFoundError:
        records = []
    if len(records) != 1:
        return [f"the server received {len(records)} messages, not 1"]
    rec = records[0]
    if rec.get("login") != "abi-user":
        problems.append(f"the message came with the login {rec.get('login')!r}")
    if rec["mail_from"] != "sender@example.com":
        problems.append(f"MAIL FROM was {rec['mail_from']!r}")
    if sorted(rec["rcpt_tos"]) != ["bcc@example.com", "cc@example.com", "to@example.com"]:
        problems.append(f"RCPT TO were {rec['rcpt_tos']!r}")
    msg = email.message_from_bytes(rec["data"].encode("latin-1"), policy=email.policy.default)
    if str(msg["Subject"]) != "ABI \u00fcber alles \u20ac":
        problems.append(f"Subject reads {str(msg['Subject'])!r}")
    if msg["From"].addresses[0].display_name != "Host Sender":
        problems.append(f"From reads {str(msg['From'])!r}")
    if msg["Bcc"] is not None:
        problems.append("the Bcc address is in the header")
    html = msg.get_body(preferencelist=("html",))
    if html is None or "<b>Visual C++</b>" not in html.get_content():
        problems.append("no HTML body with the text sent")
    files = [(p.get_filename(), p.get_payload(decode=True)) for p in msg.iter_attachments()]
    if files != [("abi-attachment.txt", ATTACHMENT)]:
        problems.append(f"attachments were {files!r}")
    return problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True, help="the folder of smtp_plugin.dll and the hosts")
    parser.add_argument("--wine", required=True, help="the command that runs a Windows program")
    parser.add_argument("--aiosmtpd", required=True, help="tests/integration/aiosmtpd_server.py")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as work:
        args.work = work
        messages = os.path.join(work, "messages.jsonl")
        attachment = os.path.join(work, "abi-attachment.txt")
        with open(attachment, "wb") as f:
            f.write(ATTACHMENT)
        server = subprocess.Popen([sys.executable, args.aiosmtpd, "--messages", messages,
                                   "--lifetime", "300", "--user", "abi-user",
                                   "--password", "abi pass 1"],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        try:
            first = server.stdout.readline().split()
            if len(first) != 2 or first[0] != "PORT":
                print(f"FAILED  aiosmtpd did not start: {' '.join(first)}")
                return 1
            dll = windows_path(os.path.join(args.bin, "smtp_plugin.dll"))
            ok = run_host(args, "msvc_every_slot_host.exe", {
                "ABI_HOST_DLL": dll,
                "ABI_HOST_PORT": first[1],
                "ABI_HOST_ATTACHMENT": windows_path(attachment),
                "ABI_HOST_MISSING": windows_path(os.path.join(work, "no such file.txt")),
            })
            problems = check_message(messages)
            for p in problems:
                print(f"FAILED  message: {p}")
            if not problems:
                print("ok      the message read back with Python's email is the one sent")
            ok = run_host(args, "msvc_delete_at_once_host.exe", {"ABI_HOST_DLL": dll}) and ok
            return 0 if ok and not problems else 1
        finally:
            server.stdin.close()
            server.wait(timeout=30)


if __name__ == "__main__":
    sys.exit(main())
