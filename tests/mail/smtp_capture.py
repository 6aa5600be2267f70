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
"""
import asyncio
import email
import os
import sys

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
