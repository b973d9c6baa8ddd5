#!/usr/bin/python3
"""pyftpdlib's TLS handler on 127.0.0.1:PORT for user klv (password secret), TLS required
on the control and the data connections. Run under the tests' ServerProcess, which ends
it with the test; it also ends by itself after five minutes.

    /usr/bin/python3 tls_ftpd.py HOME CERT KEY PORT
"""
import os
import sys
import threading

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import TLS_FTPHandler
from pyftpdlib.servers import FTPServer

home, cert, key, port = sys.argv[1:5]
authorizer = DummyAuthorizer()
authorizer.add_user("klv", "secret", home, perm="elradfmwMT")
handler = TLS_FTPHandler
handler.authorizer, handler.certfile, handler.keyfile = authorizer, cert, key
handler.tls_control_required = handler.tls_data_required = True
handler.auth_failed_timeout = 0
threading.Timer(300, lambda: os._exit(0)).start()
FTPServer(("127.0.0.1", int(port)), handler).serve_forever(handle_exit=False)
