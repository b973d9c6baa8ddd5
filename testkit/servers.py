#!/usr/bin/python3
"""Loopback servers for the tests and the benchmarks. Each prints "HOST PORT" as its first
line and serves until its standard input closes, so it ends with the process that started it.

  servers.py http ROOT LOG [PATH=ACTION ...]       files of ROOT, request lines in LOG
                                             [address=127.0.0.1]
  servers.py real vsftpd|proftpd|pure-ftpd HOME USER PASSWORD UNPACKED_ROOT [tls=CERT] [implicit] [ipv6] [one-per-host]
  servers.py pyftpd HOME USER PASSWORD [die-after=N] [drop-after=N] [tls=CERT]   Debian's pyftpdlib
  servers.py ftp LOG [VERB=REPLY ...]       scripted; commands in LOG
  servers.py full                            takes no connection: a connect to it hangs
  servers.py sshd HOME USER PASSWORD HOSTKEY [auth=password|kbdint] [pubkey=FILE.pub]
                                             [address=127.0.0.1]
  servers.py relay HOST PORT [stall-after=N]  forwards to HOST PORT; see relay()

An HTTP ACTION is "CODE REASON", "3xx>LOCATION" ("{port}" in it is the server's own port; a
blank before it puts two blanks in the status line), "cut" (the connection closes short of the
length), "silent" (half the body, then nothing) or "echo" (the request headers as body). The
real FTP servers are those unpacked from Debian's packages by scripts/fetch-ftp-servers.sh;
HOME belongs to uid 1000. With tls=CERT (CERT.crt, CERT.key) they and pyftpd require TLS on
the control and data connections; vsftpd with "implicit" too speaks TLS from the connect on
(ftps://), and with "ipv6" listens on ::1 instead of its IPv4 loopback address; with
"one-per-host" each takes one connection from a client address at a time. die-after=N ends
pyftpd once an upload brought N bytes; drop-after=N closes the first session whose upload
brought N bytes, once.

A scripted REPLY is lines joined by "|" (LINE*N for a line N times; VERB#2= for its second
use in a connection, a whole command such as "SITE chmod 755 a.cgi=" for that command alone);
DATA moves the data connection's bytes (CUT resets it midway), CLOSE drops the connection,
SILENT answers nothing more (the commands are still logged), PAUSE waits 0.3 s, SLOW sends
the reply's later lines a byte every 0.1 s, TRICKLE sends a TLS record's first bytes that
slowly for ever, RESET resets the connection once the client has sent something, and TLS
(after a 234) goes on through TLS with a self-signed certificate made for the run.

sshd is Debian's OpenSSH server on 127.0.0.1 (or `address`) with HOSTKEY (an ed25519 key made when the
file is missing) and a configuration of its own: USER (uid 1000, home HOME) logs on with
PASSWORD through PAM by "password" or by "keyboard-interactive" alone, or with the key
whose public half is FILE.pub; SFTP is sshd's internal-sftp. Like vsftpd, it runs in a mount
namespace of its own, where copies of /etc/passwd, /etc/shadow and /etc/pam.d that know USER
and a /run of its own are bound over the host's: no account is added to the system."""
import ctypes, os, signal, socket, subprocess, sys, threading, time, warnings
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import unquote, urlsplit


def ready(host, port, cleanup=lambda: None):
    print(host, port, flush=True)
    threading.Thread(target=lambda: (sys.stdin.buffer.read(), cleanup(), os._exit(0)),
                     daemon=True).start()


def http(root, log, *rules):
    routes = dict(rule.split("=", 1) for rule in rules)
    address = routes.pop("address", "127.0.0.1")  # paths begin with "/"

    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"
        disable_nagle_algorithm = True
        def log_message(self, *args):
            pass
        def do_GET(self):
            with open(log, "a") as out:
                out.write(self.requestline + "\n")
            path = urlsplit(self.path).path
            action = routes.get(path, "file")
            file = os.path.join(root, unquote(path).lstrip("/"))
            if action == "file" and os.path.isfile(file):  # the kernel sends it: big bodies
                self.send_response(200)
                self.send_header("Content-Length", str(os.path.getsize(file)))
                self.end_headers()
                with open(file, "rb") as f:
                    return self.connection.sendfile(f) and None
            try:
                with open(file, "rb") as f:
                    body = f.read()
            except OSError:
                body = None
            if action == "echo":
                body = str(self.headers).encode()
            if action == "file":
                action = "200 OK" if body is not None else "404 Not Found"
            body = body if body is not None else b"body of " + path.encode()
            code, _, reason = action.partition(" ")
            if ">" in action:
                code, _, location = action.partition(">")
                self.send_response(int(code))
                if code.startswith(" "):  # "HTTP/1.1  302 Found"
                    self._headers_buffer[0] = self._headers_buffer[0].replace(b" ", b"  ", 1)
                port = str(self.server.server_address[1])
                self.send_header("Location", location.replace("{port}", port))
            elif code.isdigit() and not reason:  # a status line without a reason phrase
                self._headers_buffer = [b"HTTP/1.1 %s\r\n" % code.encode()]
            else:
                self.send_response(int(code) if code.isdigit() else 200, reason or None)
            length = len(body) + (1000 if action in ("cut", "silent") else 0)
            self.send_header("Content-Length", str(length))
            self.end_headers()
            self.wfile.write(body[:len(body) // 2] if action == "silent" else body)
            if action == "silent":
                time.sleep(3600)
            self.close_connection = action == "cut"

    # A web server's listen backlog (nginx: 511), not socketserver's 5: a batch of fetches
    # connects many at once, and a dropped SYN costs a second.
    ThreadingHTTPServer.request_queue_size = 128
    server = ThreadingHTTPServer((address, 0), Handler)
    server.daemon_threads = True
    server.handle_error = lambda *args: None  # a client that left early is no news
    ready(address, server.server_address[1])
    server.serve_forever()


def real(kind, home, user, password, unpacked, *options):
    """vsftpd, proftpd or pure-ftpd as unpacked from Debian's packages, on an address of
    its own (vsftpd on ::1 with "ipv6"), logging on `user` with the password hashed; the
    home belongs to uid 1000, and the server's configuration and log go into the directory
    holding it."""
    work = os.path.dirname(home)
    tls = "".join(o for o in options if o.startswith("tls="))
    implicit, ipv6 = "implicit" in options, "ipv6" in options
    one = "one-per-host" in options  # a single connection from each client address
    host = {"vsftpd": "127.0.0.2", "proftpd": "127.0.0.3", "pure-ftpd": "127.0.0.4"}[kind]
    host = "::1" if ipv6 else host
    family = socket.AF_INET6 if ipv6 else socket.AF_INET
    with socket.create_server((host, 0), family=family) as probe:
        port = probe.getsockname()[1]
    warnings.simplefilter("ignore", DeprecationWarning)
    import crypt
    hashed = crypt.crypt(password, "$6$klvtests$")
    entry = "%s:%s:1000:1000::%s:/bin/sh\n" % (user, hashed, home)
    write = lambda name, text: open(os.path.join(work, name), "w").write(text) and None
    mounts, cert = [], tls[4:]
    if kind == "vsftpd":
        write("passwd", open("/etc/passwd").read() + entry)
        subprocess.run(["cp", "-a", "/etc/pam.d", work + "/pam.d"], check=True)
        write("pam.d/vsftpd", "auth required pam_unix.so\naccount required pam_permit.so\n"
              "session required pam_permit.so\n")
        os.makedirs(work + "/empty", exist_ok=True)
        listen = ("listen=NO\nlisten_ipv6=YES\nlisten_address6=%s\n" if ipv6 else
                  "listen=YES\nlisten_ipv6=NO\nlisten_address=%s\n") % host
        write("vsftpd.conf", listen + "listen_port=%d\n"
              "background=NO\nanonymous_enable=NO\nlocal_enable=YES\nwrite_enable=YES\n"
              "local_umask=022\nchmod_enable=YES\nlocal_root=%s\nsecure_chroot_dir=%s/empty\n"
              "pam_service_name=vsftpd\nseccomp_sandbox=NO\nxferlog_enable=NO\n"
              % (port, home, work) + ("max_per_ip=1\n" if one else ""))
        # Each data connection resumes the control connection's session, and an upload
        # counts only when it ends in close_notify, not in a bare FIN that anyone can forge.
        if cert:
            write("vsftpd.conf", open(work + "/vsftpd.conf").read() + "ssl_enable=YES\n"
                  "force_local_logins_ssl=YES\nforce_local_data_ssl=YES\nrequire_ssl_reuse=YES\n"
                  "strict_ssl_read_eof=YES\n"
                  "rsa_cert_file=%s.crt\nrsa_private_key_file=%s.key\n" % (cert, cert) +
                  ("implicit_ssl=YES\n" if implicit else ""))
        mounts = [(work + "/passwd", "/etc/passwd"), (work + "/pam.d", "/etc/pam.d")]
        argv = [unpacked + "/usr/sbin/vsftpd", work + "/vsftpd.conf"]
    elif kind == "proftpd":
        write("users", entry)
        write("groups", "klv:x:1000:%s\n" % user)
        for name in ("users", "groups"):  # proftpd refuses account files others may read
            os.chmod(os.path.join(work, name), 0o600)
        write("proftpd.conf", "ServerType standalone\nUseIPv6 off\nDefaultAddress %s\nPort %d\n"
              "SocketBindTight on\nUser nobody\nGroup nogroup\nPidFile %s/pid\nScoreboardFile "
              "%s/scoreboard\nControlsEngine off\nDelayTable none\nWtmpLog off\nTransferLog none\n"
              "UseReverseDNS off\nAuthOrder mod_auth_file.c\nAuthUserFile %s/users\nAuthGroupFile "
              "%s/groups\nRequireValidShell off\nAllowOverwrite on\nUmask 022\n"
              % (host, port, work, work, work, work) + ("MaxClientsPerHost 1\n" if one else "") +
              (cert and
              "ModulePath %s/usr/lib/proftpd\nLoadModule mod_tls.c\nTLSEngine on\nTLSRequired on\n"
              "TLSRSACertificateFile %s.crt\nTLSRSACertificateKeyFile %s.key\n" % (unpacked, cert, cert)))
        argv = [unpacked + "/usr/sbin/proftpd", "--nodaemon", "--config", work + "/proftpd.conf"]
    else:
        write("users", "%s:%s:1000:1000::%s::::::::::::\n" % (user, hashed, home))
        subprocess.run([unpacked + "/usr/bin/pure-pw", "mkdb", work + "/users.pdb", "-f",
                        work + "/users"], check=True, stdout=subprocess.DEVNULL)
        os.makedirs(work + "/run", exist_ok=True)
        mounts = [(work + "/run", "/run")]  # its per-session files, away from the host's
        argv = [unpacked + "/usr/sbin/pure-ftpd", "--bind", "%s,%d" % (host, port), "--login",
                "puredb:" + work + "/users.pdb", "--noanonymous", "--dontresolve", "--ipv4only"]
        argv += ["-Y", "2", "-2", cert + ".crt," + cert + ".key"] if cert else []
        argv += ["--maxclientsperip", "1"] if one else []
    serve_in_namespace(kind, argv, mounts, work, host, port)


def serve_in_namespace(kind, argv, mounts, work, host, port):
    """Runs `argv` in a mount namespace of its own with each (file, over) of `mounts` bound,
    its errors in WORK/server.log, until the port answers; then serves until stdin closes,
    when the server's process group is killed."""
    binds = "".join("mount --bind %s %s && " % pair for pair in mounts)
    die_with_parent = lambda: ctypes.CDLL(None).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
    server = subprocess.Popen(["unshare", "--mount", "--propagation", "private", "sh", "-c",
                               binds + 'exec "$@"', "sh"] + argv, preexec_fn=die_with_parent,
                              start_new_session=True, stdout=subprocess.DEVNULL,
                              stderr=open(work + "/server.log", "w"))
    for _ in range(300):
        try:
            socket.create_connection((host, port)).close()  # either family
            break
        except OSError:
            if server.poll() is not None:
                sys.exit(kind + " ended: " + open(work + "/server.log").read())
            time.sleep(0.05)
    ready(host, port, lambda: os.killpg(server.pid, signal.SIGKILL))
    server.wait()


def sshd(home, user, password, hostkey, *options):
    option = lambda name, default: next((o.split("=", 1)[1] for o in options
                                         if o.startswith(name + "=")), default)
    work, host = os.path.dirname(home), option("address", "127.0.0.1")
    auth, pubkey = option("auth", "password"), option("pubkey", "")
    if not os.path.exists(hostkey):
        subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C", "", "-f", hostkey],
                       check=True)
    with socket.create_server((host, 0)) as probe:
        port = probe.getsockname()[1]
    warnings.simplefilter("ignore", DeprecationWarning)
    import crypt
    write = lambda name, text: open(os.path.join(work, name), "w").write(text) and None
    write("passwd", open("/etc/passwd").read() + "%s:x:1000:1000::%s:/bin/sh\n" % (user, home))
    write("shadow", open("/etc/shadow").read() + "%s:%s:19000:0:99999:7:::\n"
          % (user, crypt.crypt(password, "$6$klvtests$")))
    os.chmod(work + "/shadow", 0o600)
    subprocess.run(["cp", "-a", "/etc/pam.d", work + "/pam.d"], check=True)
    write("pam.d/sshd", "auth required pam_unix.so\naccount required pam_permit.so\n"
          "session required pam_permit.so\npassword required pam_deny.so\n")
    os.makedirs(work + "/run/sshd", mode=0o755, exist_ok=True)  # the privilege separation
    keys = work + "/authorized_keys"
    write("authorized_keys", open(pubkey).read() if pubkey else "")
    yes = lambda on: "yes" if on else "no"
    write("sshd_config", "ListenAddress %s:%d\nHostKey %s\nPidFile none\nUsePAM yes\n"
          "PasswordAuthentication %s\nKbdInteractiveAuthentication %s\n"
          "PubkeyAuthentication %s\nAuthorizedKeysFile %s\nStrictModes no\nPermitRootLogin no\n"
          "UseDNS no\nSubsystem sftp internal-sftp\nLogLevel DEBUG1\nMaxStartups 50\n"
          % (host, port, hostkey, yes(auth == "password"), yes(auth == "kbdint"), yes(pubkey),
             keys))
    mounts = [(work + "/passwd", "/etc/passwd"), (work + "/shadow", "/etc/shadow"),
              (work + "/pam.d", "/etc/pam.d"), (work + "/run", "/run")]
    serve_in_namespace("sshd", ["/usr/sbin/sshd", "-D", "-f", work + "/sshd_config", "-E",
                                work + "/sshd.log"], mounts, work, host, port)


def relay(host, port, *options):
    """Forwards every connection to HOST PORT. With stall-after=N it stops forwarding in
    both directions once the client has sent N bytes, and holds both connections open:
    a server that went silent mid-conversation."""
    limit = next((int(o[12:]) for o in options if o.startswith("stall-after=")), None)
    listener = socket.create_server(("127.0.0.1", 0))
    ready("127.0.0.1", listener.getsockname()[1])
    while True:
        client, _ = listener.accept()
        server = socket.create_connection((host, int(port)))
        left = [limit]  # what the client may still send; None: no bound
        def pump(source, sink, upstream, left=left):
            while left[0] != 0:
                chunk = source.recv(65536)
                if not chunk or left[0] == 0:
                    break
                if upstream and left[0] is not None:
                    chunk = chunk[:left[0]]
                    left[0] -= len(chunk)
                sink.sendall(chunk)
            if left[0] != 0:
                return sink.shutdown(socket.SHUT_WR)
            threading.Event().wait()  # silent, both connections held open
        for args in ((client, server, True), (server, client, False)):
            threading.Thread(target=pump, args=args, daemon=True).start()




def pyftpd(home, user, password, *options):
    from pyftpdlib.authorizers import DummyAuthorizer
    from pyftpdlib.handlers import ActiveDTP, DTPHandler, FTPHandler, TLS_FTPHandler
    from pyftpdlib.servers import FTPServer
    import logging
    logging.basicConfig(level=logging.ERROR)

    cert = [o[4:] for o in options if o.startswith("tls=")]
    class Handler(TLS_FTPHandler if cert else FTPHandler):
        auth_failed_timeout = 0
    if cert:
        Handler.certfile, Handler.keyfile = cert[0] + ".crt", cert[0] + ".key"
        Handler.tls_control_required = Handler.tls_data_required = True

    # pyftpdlib 1.5.7 closes an active connector after it handed its socket on to the
    # transfer; by then that descriptor number may be another session's, which the server
    # then stops reading. Several sessions at once meet it: once handed on, it is left alone.
    class HandingOver(ActiveDTP):
        def handle_connect(self):
            ActiveDTP.handle_connect(self)
            self.handed_over = self.cmd_channel.data_channel is not None
        def close(self):
            if not getattr(self, "handed_over", False):
                ActiveDTP.close(self)
    Handler.active_dtp = HandingOver

    limit = [int(o[10:]) for o in options if o.startswith("die-after=")]
    drop = [int(o[11:]) for o in options if o.startswith("drop-after=")]
    class Dying(DTPHandler):  # ends the server, or the first session, at `limit` or `drop` bytes
        def handle_read(self):
            DTPHandler.handle_read(self)
            if limit and self.receive and self.tot_bytes_received >= limit[0]:
                self.file_obj.flush()
                os._exit(3)
            if drop and self.receive and self.tot_bytes_received >= drop[0]:
                drop.clear()
                self.cmd_channel.close()
        handle_read_event = handle_read
    if limit or drop:
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
               "CWD": "250 CWD ok", "SITE": "200 SITE ok", "QUIT": "221 bye|CLOSE",
               "OPEN": "220 connected"}


def ftp(log, *rules):
    replies = dict(FTP_REPLIES)
    replies.update(rule.split("=", 1) for rule in rules if "=" in rule)
    listener = socket.create_server(("127.0.0.1", 0))
    ready("127.0.0.1", listener.getsockname()[1])
    while True:
        control, _ = listener.accept()
        threading.Thread(target=ftp_session, args=(control, replies, log), daemon=True).start()


threading.excepthook = lambda args: None  # a client that reset the connection is no news


def self_signed():
    import ssl, tempfile
    folder = tempfile.mkdtemp()
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                    "-subj", "/CN=scripted", "-keyout", folder + "/k", "-out", folder + "/c"],
                   check=True, capture_output=True)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(folder + "/c", folder + "/k")
    return context


def ftp_session(control, replies, log):
    reader = control.makefile("rb")
    data_listener = data_target = None
    command, seen, silent, slow = "GREETING", {}, False, False
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
        steps = []
        for step in [] if silent else script.split("|"):
            line, star, times = step.rpartition("*")
            steps += [line] * int(times) if star else [step]
        for step in steps:
            if step in ("CLOSE", "RESET"):
                if step == "RESET":  # once the client has sent something
                    control.recv(1)
                    control.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\1\0\0\0\0\0\0\0")
                return control.close()
            if step == "SILENT":
                silent = True
                break
            if step == "PAUSE":
                time.sleep(0.3)
            elif step == "SLOW":
                slow = True
            elif step == "TRICKLE":
                for byte in b"\x16\x03\x03\x40\x00" + b"\x00" * 16384:
                    control.sendall(bytes([byte]))
                    time.sleep(0.1)
            elif step == "TLS":
                control = self_signed().wrap_socket(control, server_side=True)
                reader = control.makefile("rb")
            elif step in ("DATA", "CUT"):
                data = (data_listener.accept()[0] if data_listener
                        else socket.create_connection(data_target))
                if step == "CUT":  # a reset, as when the server dies mid-transfer
                    data.sendall(b"x" * 65536)
                    time.sleep(0.2)  # the client is connected and reading by now
                    data.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\1\0\0\0\0\0\0\0")
                while step == "DATA" and data.recv(65536):
                    pass
                data.close()
            else:
                line = (step + "\r\n").encode()
                for piece in [line[i:i + 1] for i in range(len(line))] if slow else [line]:
                    control.sendall(piece)
                    time.sleep(0.1 if slow else 0)
        line = reader.readline()
        if not line:
            return control.close()
        command = line.decode("latin-1").rstrip("\r\n")
        with open(log, "a") as out:
            out.write(command + "\n")


def full():
    listener = socket.create_server(("127.0.0.1", 0), backlog=0)
    waiting = [socket.socket() for _ in range(3)]  # fill the backlog
    for client in waiting:
        client.setblocking(False)
        client.connect_ex(listener.getsockname())
    ready(*listener.getsockname())
    threading.Event().wait()


if __name__ == "__main__":
    {"http": http, "real": real, "pyftpd": pyftpd, "ftp": ftp, "full": full, "sshd": sshd,
     "relay": relay}[sys.argv[1]](*sys.argv[2:])
