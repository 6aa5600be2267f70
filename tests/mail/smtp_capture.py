#!/usr/bin/python3
"""A loopback SMTP server for the delivery test, on aiosmtpd.

Usage: smtp_capture.py FOLDER

Listens on a free port of 127.0.0.1, prints "READY <port>" when it accepts
connections, and ends when its standard input closes. For the n-th message it
writes into FOLDER:
  n.envelope  "MAIL FROM:<sender>" and one "RCPT TO:<recipient>" line each
  n.eml       the message bytes exactly as received (after the SMTP point
              doubling was undone)
  n.names     the file name of each attachment, one a line
  n.partK     the K-th attachment, decoded by Python's email package
  n.shown     what a mail reader shows, in UTF-8: the decoded subject, the
              sender and recipients ("name <address>", one a line), whether
              Date and Message-ID are valid, then the decoded text of the
              first text/plain part with LF line ends
"""
import asyncio
import email
import email.policy
import os
import re
import sys


def shown(content):
    """The message as a reader built on Python's email package shows it."""
    message = email.message_from_bytes(content, policy=email.policy.default)
    lines = ["subject=" + str(message.get("Subject", ""))]
    for field in ("From", "To", "CC"):
        header = message.get(field)
        for address in header.addresses if header is not None else ():
            lines.append("%s=%s <%s>" % (field.lower(), address.display_name, address.addr_spec))
    date = message.get("Date")
    lines.append("date=" + ("valid" if date is not None and date.datetime is not None else "missing"))
    message_id = str(message.get("Message-ID", ""))
    lines.append("message-id=" + ("valid" if re.fullmatch(r"<[^<>@\s]+@[^<>@\s]+>", message_id) else "missing"))
    body = message.get_body(("plain",))
    lines.append("")
    text = body.get_content() if body is not None else ""
    return "\n".join(lines) + "\n" + text.replace("\r\n", "\n")

from aiosmtpd.smtp import SMTP


class Capture:
    def __init__(self, folder):
        self.folder = folder
        self.count = 0

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        base = os.path.join(self.folder, str(self.count))
        lines = ["MAIL FROM:" + envelope.mail_from]
        lines += ["RCPT TO:" + rcpt for rcpt in envelope.rcpt_tos]
        with open(base + ".envelope", "w") as out:
            out.write("\n".join(lines) + "\n")
        with open(base + ".eml", "wb") as out:
            out.write(envelope.original_content)
        message = email.message_from_bytes(envelope.original_content)
        names = []
        for part in message.walk():
            if part.get_content_disposition() == "attachment":
                with open("%s.part%d" % (base, len(names)), "wb") as out:
                    out.write(part.get_payload(decode=True) or b"")
                names.append(part.get_filename() or "")
        with open(base + ".names", "w") as out:
            out.write("".join(name + "\n" for name in names))
        with open(base + ".shown", "w", encoding="utf-8", newline="") as out:
            out.write(shown(envelope.original_content))
        return "250 Message accepted for delivery"


async def main(folder):
    loop = asyncio.get_running_loop()
    handler = Capture(folder)
    server = await loop.create_server(
        lambda: SMTP(handler, hostname="capture.test"), "127.0.0.1", 0)
    print("READY %d" % server.sockets[0].getsockname()[1], flush=True)
    await loop.run_in_executor(None, sys.stdin.buffer.read)
    server.close()


if __name__ == "__main__":
    asyncio.run(main(sys.argv[1]))
