"""Loopback SMTP sink for the mail tests.

Usage: smtp_sink.py FOLDER
Accepts every message on 127.0.0.1 and writes each one to FOLDER/mail-N.txt: the line
"MAIL FROM: <addr>", one line "RCPT TO: <addr>" per envelope recipient, a blank line, then
the message exactly as received. Files appear atomically (written, then renamed). Prints the
port on its first line, then serves until stdin closes or it is terminated.
"""
import os
import socket
import sys

from aiosmtpd.controller import Controller


class Sink:
    def __init__(self, folder):
        self.folder = folder
        self.count = 0

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        lines = ["MAIL FROM: <%s>" % envelope.mail_from]
        lines += ["RCPT TO: <%s>" % r for r in envelope.rcpt_tos]
        data = envelope.original_content or envelope.content
        if isinstance(data, str):
            data = data.encode("utf-8", "replace")
        text = ("\r\n".join(lines) + "\r\n\r\n").encode() + data
        final = os.path.join(self.folder, "mail-%d.txt" % self.count)
        with open(final + ".part", "wb") as f:
            f.write(text)
        os.rename(final + ".part", final)
        return "250 Message accepted for delivery"


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def main():
    folder = sys.argv[1]
    controller = Controller(Sink(folder), hostname="127.0.0.1", port=free_port())
    controller.start()
    print(controller.port, flush=True)
    try:
        sys.stdin.read()
    finally:
        controller.stop()


if __name__ == "__main__":
    main()
