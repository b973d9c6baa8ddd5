#!/usr/bin/python3
"""A real FTP server for the tests: Debian's pyftpdlib on 127.0.0.1.

Prints the port it listens on as its first line of standard output, then serves until
its standard input closes (the test that started it has ended) or --max-seconds pass.

    /usr/bin/python3 pyftpd_server.py --home DIR --user U --password P
        [--refuse-port] [--die-after-bytes N] [--max-seconds N]

--die-after-bytes N makes the whole server process end at once, as if killed, as soon
as an upload's data connection has brought N bytes: the test sees a server die in the
middle of a transfer, at a point that does not depend on timing.
"""

import argparse
import logging
import os
import sys
import threading

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import DTPHandler, FTPHandler
from pyftpdlib.servers import FTPServer


class RefusingPortHandler(FTPHandler):
    """Answers PORT with a 5xx reply, so that a client must fall back to PASV."""

    def ftp_PORT(self, line):
        self.respond("502 Active mode is refused here; use PASV.")


def dying_dtp_handler(limit):
    class DyingDTPHandler(DTPHandler):
        """Ends the server process once an upload has brought `limit` bytes."""

        def handle_read(self):
            DTPHandler.handle_read(self)
            if self.receive and self.tot_bytes_received >= limit:
                if self.file_obj is not None:
                    self.file_obj.flush()
                os._exit(3)

        handle_read_event = handle_read  # the name the I/O loop calls

    return DyingDTPHandler


def exit_when_stdin_closes():
    try:
        while sys.stdin.buffer.read(4096):
            pass
    finally:
        os._exit(0)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--home", required=True)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--refuse-port", action="store_true")
    parser.add_argument("--die-after-bytes", type=int, default=0)
    parser.add_argument("--max-seconds", type=float, default=600.0)
    args = parser.parse_args()

    logging.basicConfig(level=logging.ERROR)
    logging.getLogger("pyftpdlib").setLevel(logging.ERROR)

    authorizer = DummyAuthorizer()
    # Every permission, SITE CHMOD (M) and MFMT (T) included.
    authorizer.add_user(args.user, args.password, args.home, perm="elradfmwMT")

    handler = RefusingPortHandler if args.refuse_port else FTPHandler
    handler.authorizer = authorizer
    if args.die_after_bytes > 0:
        handler.dtp_handler = dying_dtp_handler(args.die_after_bytes)
    handler.banner = "pyftpdlib test server ready."
    # The tests check the 530 line itself; the anti-guessing delay only slows them.
    handler.auth_failed_timeout = 0

    server = FTPServer(("127.0.0.1", 0), handler)
    port = server.socket.getsockname()[1]
    sys.stdout.write("%d\n" % port)
    sys.stdout.flush()

    threading.Thread(target=exit_when_stdin_closes, daemon=True).start()
    lifetime = threading.Timer(args.max_seconds, lambda: os._exit(0))
    lifetime.daemon = True
    lifetime.start()

    server.serve_forever(handle_exit=False)


if __name__ == "__main__":
    main()
