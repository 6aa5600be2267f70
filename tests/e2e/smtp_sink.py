"""A real SMTP server (aiosmtpd) on loopback that keeps every message it
accepts byte for byte: <folder>/<n>.eml holds the DATA content as sent (dot
transparency undone, line ends untouched) and <n>.json the envelope.

    python3 smtp_sink.py FOLDER PORT

prints "READY <port>" once it listens and runs until it is stopped."""

import asyncio
import json
import os
import sys

from aiosmtpd.controller import Controller


class KeepingHandler:
    def __init__(self, folder):
        self.folder = folder
        self.count = 0

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        base = os.path.join(self.folder, "%d" % self.count)
        with open(base + ".eml.part", "wb") as f:
            f.write(envelope.original_content)
        with open(base + ".json", "w") as f:
            json.dump({"mail_from": envelope.mail_from, "rcpt_tos": envelope.rcpt_tos,
                       "helo": session.host_name}, f)
        os.rename(base + ".eml.part", base + ".eml")
        return "250 Message accepted for delivery"


def main():
    folder, port = sys.argv[1], int(sys.argv[2])
    controller = Controller(KeepingHandler(folder), hostname="127.0.0.1", port=port)
    controller.start()
    print("READY %d" % port, flush=True)
    try:
        asyncio.run(asyncio.Event().wait())
    except KeyboardInterrupt:
        pass
    finally:
        controller.stop()


if __name__ == "__main__":
    main()
