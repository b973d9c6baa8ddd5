#!/usr/bin/python3
"""pyftpdlib's TLS handler on HOST:PORT for user klv (password secret), TLS required
on the control and the data connections. Run under the tests' ServerProcess, whose
supervisor ends it with the test, or after five minutes at the latest.

    /usr/bin/python3 tls_ftpd.py HOME CERT KEY HOST PORT
"""
import sys

from pyftpdlib import authorizers, handlers, servers

home, cert, key, host, port = sys.argv[1:6]
authorizer = authorizers.DummyAuthorizer()
authorizer.add_user("klv", "secret", home, perm="elradfmwMT")
handler = handlers.TLS_FTPHandler
handler.authorizer, handler.certfile, handler.keyfile = authorizer, cert, key
handler.tls_control_required = handler.tls_data_required = True
servers.FTPServer((host, int(port)), handler).serve_forever(handle_exit=False)
