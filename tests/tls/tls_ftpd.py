#!/usr/bin/python3
"""pyftpdlib's TLS handler on 127.0.0.1:PORT, TLS required on the control and the data
connections. Run under the tests' ServerProcess, which ends it with the test; it also
ends by itself after --max-seconds.

    /usr/bin/python3 tls_ftpd.py --home DIR --cert PEM --key PEM --port N
"""
import argparse
import os
import threading

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import TLS_FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    parser = argparse.ArgumentParser()
    for name in ("--home", "--cert", "--key"):
        parser.add_argument(name, required=True)
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--max-seconds", type=float, default=300.0)
    args = parser.parse_args()

    authorizer = DummyAuthorizer()
    authorizer.add_user("klv", "secret", args.home, perm="elradfmwMT")
    handler = TLS_FTPHandler
    handler.authorizer = authorizer
    handler.certfile, handler.keyfile = args.cert, args.key
    handler.tls_control_required = handler.tls_data_required = True
    handler.auth_failed_timeout = 0
    server = FTPServer(("127.0.0.1", args.port), handler)
    threading.Timer(args.max_seconds, lambda: os._exit(0)).start()
    server.serve_forever(handle_exit=False)


if __name__ == "__main__":
    main()
