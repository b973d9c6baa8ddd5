#!/usr/bin/python3
"""FTP servers for the tests, started and ended like those of testkit/servers.py:

  ftp_servers.py pyftpd HOME USER PASSWORD [die-after=N] [tls=CERT]   Debian's pyftpdlib
  ftp_servers.py ftp LOG [bytewise] [VERB=REPLY ...]       scripted; commands in LOG

A scripted REPLY is lines joined by "|" (VERB#2= for its second use in a connection, a
whole command such as "SITE chmod 755 a.cgi=" for that command alone); DATA moves the
data connection's bytes (CUT resets it midway), CLOSE drops the connection, SILENT answers
nothing more (the commands are still logged), PAUSE waits 0.3 s, SLOW sends the reply's
later lines a byte every 0.1 s, TRICKLE sends a TLS record's first bytes that slowly for
ever, RESET resets the connection once the client has sent something, and TLS (after a
234) goes on through TLS with a self-signed certificate made for the run. tls=CERT (CERT.crt,
CERT.key) requires TLS on the control and data connections. die-after=N ends the whole
server once an upload brought N bytes."""
import os, socket, sys, threading, time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../testkit"))
from servers import ready


def pyftpd(home, user, password, *options):
    from pyftpdlib.authorizers import DummyAuthorizer
    from pyftpdlib.handlers import DTPHandler, FTPHandler, TLS_FTPHandler
    from pyftpdlib.servers import FTPServer
    import logging
    logging.basicConfig(level=logging.ERROR)

    cert = [o[4:] for o in options if o.startswith("tls=")]
    class Handler(TLS_FTPHandler if cert else FTPHandler):
        auth_failed_timeout = 0
    if cert:
        Handler.certfile, Handler.keyfile = cert[0] + ".crt", cert[0] + ".key"
        Handler.tls_control_required = Handler.tls_data_required = True

    limit = [int(o[10:]) for o in options if o.startswith("die-after=")]
    class Dying(DTPHandler):  # ends the whole server once an upload brought `limit` bytes
        def handle_read(self):
            DTPHandler.handle_read(self)
            if limit and self.receive and self.tot_bytes_received >= limit[0]:
                self.file_obj.flush()
                os._exit(3)
        handle_read_event = handle_read
    if limit:
        Handler.dtp_handler = Dying
    Handler.authorizer = DummyAuthorizer()
    Handler.authorizer.add_user(user, password, home, perm="elradfmwMT")
    server = FTPServer(("127.0.0.1", 0), Handler)
    ready("127.0.0.1", server.socket.getsockname()[1])
    server.serve_forever(handle_exit=False)


FTP_REPLIES = {"GREETING": "220 scripted server ready", "USER": "331 password please",
               "PASS": "230 logged on", "ACCT": "230 account ok", "TYPE": "200 type set",
               "AUTH": "500 AUTH not understood",
               "PASV": "227 Entering Passive Mode (%s)", "PORT": "200 PORT ok",
               "STOR": "150 go ahead|DATA|226 stored",
               "CWD": "250 directory changed", "SITE": "200 SITE ok", "QUIT": "221 bye|CLOSE",
               "OPEN": "220 connected"}


def ftp(log, *rules):
    replies = dict(FTP_REPLIES)
    replies.update(rule.split("=", 1) for rule in rules if "=" in rule)
    listener = socket.create_server(("127.0.0.1", 0))
    ready("127.0.0.1", listener.getsockname()[1])
    while True:
        control, _ = listener.accept()
        threading.Thread(target=ftp_session, args=(control, replies, log, "bytewise" in rules),
                         daemon=True).start()


threading.excepthook = lambda args: None  # a client that reset the connection is no news


def self_signed():
    import ssl, subprocess, tempfile
    folder = tempfile.mkdtemp()
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                    "-subj", "/CN=scripted", "-keyout", folder + "/k", "-out", folder + "/c"],
                   check=True, capture_output=True)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(folder + "/c", folder + "/k")
    return context


def ftp_session(control, replies, log, bytewise):
    reader = control.makefile("rb")
    data_listener = data_target = None
    command, seen, silent = "GREETING", {}, False
    slow = False
    while True:
        verb = command.split(" ")[0].upper()
        seen[verb] = seen.get(verb, 0) + 1
        script = replies.get(command, replies.get("%s#%d" % (verb, seen[verb]),
                                                  replies.get(verb, "502 not implemented")))
        if verb == "PASV":
            data_listener = socket.create_server(("127.0.0.1", 0))
            port = data_listener.getsockname()[1]
            script = script.replace("%s", "127,0,0,1,%d,%d" % (port // 256, port % 256))
        if verb == "PORT":
            numbers = command[5:].split(",")
            data_target = (".".join(numbers[:4]), int(numbers[4]) * 256 + int(numbers[5]))
        for step in [] if silent else script.split("|"):
            if step == "CLOSE":
                return control.close()
            if step == "SILENT":
                silent = True
                break
            if step == "PAUSE":
                time.sleep(0.3)
                continue
            if step == "SLOW":
                slow = True
                continue
            if step == "TRICKLE":
                for byte in b"\x16\x03\x03\x40\x00" + b"\x00" * 16384:
                    control.sendall(bytes([byte]))
                    time.sleep(0.1)
                continue
            if step == "RESET":
                control.recv(1)
                control.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\1\0\0\0\0\0\0\0")
                return control.close()
            if step == "TLS":
                control = self_signed().wrap_socket(control, server_side=True)
                reader = control.makefile("rb")
                continue
            if step in ("DATA", "CUT"):
                data = (data_listener.accept()[0] if data_listener
                        else socket.create_connection(data_target))
                if step == "CUT":  # a reset, as when the server dies mid-transfer
                    data.sendall(b"x" * 65536)
                    time.sleep(0.2)  # the client is connected and reading by now
                    data.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\1\0\0\0\0\0\0\0")
                else:
                    with open(log + ".stored", "ab") as stored:
                        stored.write(b"".join(iter(lambda: data.recv(65536), b"")))
                data.close()
                continue
            line = (step + "\r\n").encode()
            for piece in ([line[i:i + 1] for i in range(len(line))] if bytewise or slow
                          else [line]):
                control.sendall(piece)
                time.sleep(0.1 if slow else 0)
        line = reader.readline()
        if not line:
            return control.close()
        command = line.decode("latin-1").rstrip("\r\n")
        with open(log, "a") as out:
            out.write(command + "\n")


if __name__ == "__main__":
    {"pyftpd": pyftpd, "ftp": ftp}[sys.argv[1]](*sys.argv[2:])
