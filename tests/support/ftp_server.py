#!/usr/bin/python3
# A small FTP/FTPS server for the tests, on pyftpdlib. Run by ftp_server.hpp:
#   ftp_server.py --port P --root DIR --user U --password W --passive LO-HI
#                 [--cert PEM --key PEM [--refuse-tls13-data | --tls13-only] [--plain-data]]
#                 [--events FILE] [--commands FILE] [--quota BYTES [--quota-reply CODE]]
#                 [--stall-after BYTES [--stall-always]] [--wrong-hash] [--refuse-epsv | --refuse-listed-epsv]
#                 [--max-per-address N]
#                 [--unavailable-after FILES --unavailable-for SECONDS
#                  [--unavailable-closes | --unavailable-after-login]]
# With --cert and --key, TLS is required on the control and the data
# connections (on the control connection only with --plain-data); --refuse-tls13-data answers a TLS 1.3 data connection with
# "522 SSL connection failed: session reuse required", as servers do that
# insist on resumed sessions, and --tls13-only speaks nothing older. With --events, one line per login ("login PORT") and per stored
# file ("received PORT PATH") is appended to FILE, PORT being the client's
# port of that control connection, so tests can tell connections apart.
# With --commands, every connection ("connect PORT") and every command line
# as received ("command PORT LINE", the password included) is appended to
# FILE, so tests can show what reached the server and what did not.
# --quota plays a full disk: once the files under the root would pass BYTES,
# the server stores what fits, answers the transfer with CODE (552 unless
# given) "Insufficient storage space" and drops its data connection, and
# refuses every later STOR or APPE with the same reply. --stall-after stops
# reading a data connection once it has brought BYTES (the client is left
# hanging, as with a server whose disk or link froze); once only, unless
# --stall-always. --wrong-hash lists "HASH SHA-256" among the features and
# answers HASH with a well-formed reply whose SHA-256 is not the stored
# file's, as a server would whose copy was altered after the upload.
# --refuse-epsv neither offers EPSV in FEAT nor takes it ("500 ... not
# understood"), as servers that know PASV only; --refuse-listed-epsv lists
# it and answers it "502", and a STOR without a data connection "425".
# --unavailable-after plays a server that restarts mid-job:
# once FILES files have arrived, every open connection is dropped and for
# SECONDS each new one is answered "421 Service not available, closing
# control connection." and closed (with --unavailable-closes: closed before
# any greeting; with --unavailable-after-login: logged in, then closed when
# it asks for FEAT); --commands then gets "unavailable PORT" for each of them.
import argparse
import hashlib
import logging
import os
import re
import sys
import time

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.filesystems import AbstractedFS
from pyftpdlib.handlers import DTPHandler, FTPHandler, TLS_DTPHandler, TLS_FTPHandler
from pyftpdlib.servers import FTPServer
from OpenSSL import SSL


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--root", required=True)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--passive", required=True)
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--events")
    parser.add_argument("--commands")
    parser.add_argument("--refuse-tls13-data", action="store_true")
    parser.add_argument("--tls13-only", action="store_true")
    parser.add_argument("--plain-data", action="store_true")
    parser.add_argument("--quota", type=int)
    parser.add_argument("--quota-reply", default="552")
    parser.add_argument("--stall-after", type=int)
    parser.add_argument("--stall-always", action="store_true")
    parser.add_argument("--refuse-epsv", action="store_true")
    parser.add_argument("--refuse-listed-epsv", action="store_true")
    parser.add_argument("--max-per-address", type=int, default=0)
    parser.add_argument("--unavailable-after", type=int)
    parser.add_argument("--unavailable-for", type=float, default=0.0)
    parser.add_argument("--unavailable-closes", action="store_true")
    parser.add_argument("--unavailable-after-login", action="store_true")
    parser.add_argument("--wrong-hash", action="store_true")
    # A server that keeps only the first N bytes of each file, yet confirms it.
    parser.add_argument("--keep-first", type=int)
    parser.add_argument("--refuse-size", action="store_true")
    # Listings: LIST only (no MLST in FEAT), and what they get wrong.
    parser.add_argument("--no-mlsd", action="store_true")
    parser.add_argument("--listing", choices=["unreadable", "hides-hidden", "grown"])
    args = parser.parse_args()

    logging.basicConfig(level=logging.WARNING, stream=sys.stderr)
    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, args.root, perm="elradfmwMT")

    base = TLS_FTPHandler if args.cert else FTPHandler
    events = args.events
    commands = open(args.commands, "a", encoding="utf-8", errors="backslashreplace") if args.commands else None
    refuse_tls13 = args.refuse_tls13_data
    quota = args.quota
    refusal = "%s Insufficient storage space: the quota of %d bytes is used up." % (
        args.quota_reply, quota or 0)
    stalls = []
    received = []
    unavailable_until = []

    def stored_bytes():
        total = 0
        for folder, _, files in os.walk(args.root):
            for name in files:
                try:
                    total += os.lstat(os.path.join(folder, name)).st_size
                except OSError:
                    pass
        return total

    class StoredFile:
        # The file a data connection writes to, with the faults asked for.
        def __init__(self, data, file):
            self._data = data
            self._file = file
            self._received = 0

        def __getattr__(self, name):
            return getattr(self._file, name)

        def write(self, chunk):
            if args.keep_first is not None:
                room = max(0, args.keep_first - self._received)
                self._received += len(chunk)
                self._file.write(chunk[:room])
                return
            if quota is not None:
                self._file.flush()
                room = max(0, quota - stored_bytes())
                if len(chunk) > room:
                    self._file.write(chunk[:room])
                    self._file.flush()
                    self._data._resp = (refusal, logging.info)
                    self._data.close()
                    return
            self._file.write(chunk)
            self._received += len(chunk)
            if args.stall_after is not None and self._received >= args.stall_after and (
                    args.stall_always or not stalls):
                stalls.append(self._received)
                self._file.flush()
                # Off the event loop: nothing more is read, nothing noticed.
                self._data.ioloop.unregister(self._data._fileno)

    class Faults:
        def enable_receiving(self, type, cmd):
            self.file_obj = StoredFile(self, self.file_obj)
            super().enable_receiving(type, cmd)

    class Handler(base):
        def _event(self, *words):
            if events:
                with open(events, "a", encoding="utf-8", errors="surrogateescape") as out:
                    out.write(" ".join(str(w) for w in words) + "\n")

        def _command(self, *words):
            if commands:
                commands.write(" ".join(str(w) for w in words) + "\n")
                commands.flush()

        def on_connect(self):
            self._command("connect", self.remote_port)
            if args.wrong_hash:
                self._extra_feats = list(self._extra_feats) + ["HASH SHA-256*"]
            if args.refuse_epsv:
                self.proto_cmds = {k: v for k, v in self.proto_cmds.items() if k != "EPSV"}
            if args.no_mlsd:
                self.proto_cmds = {k: v for k, v in self.proto_cmds.items() if k not in ("MLSD", "MLST")}

        def ftp_SIZE(self, path):
            if args.refuse_size:
                self.respond("502 SIZE is switched off.")
                return None
            return super().ftp_SIZE(path)

        def ftp_HASH(self, path):
            with open(path, "rb") as stored:
                data = stored.read()
            digest = hashlib.sha256(data + b"altered").hexdigest()
            self.respond("213 SHA-256 0-%d %s %s" % (len(data), digest, self.fs.fs2ftp(path)))

        def handle(self):
            if unavailable_until and time.monotonic() < unavailable_until[0]:
                self._command("unavailable", self.remote_port)
                if args.unavailable_after_login:
                    self._dropped_at_feat = True
                    super().handle()
                elif args.unavailable_closes:
                    self.close()
                else:
                    self.respond("421 Service not available, closing control connection.")
                    self.close_when_done()
                return
            super().handle()

        def ftp_FEAT(self, line):
            if getattr(self, "_dropped_at_feat", False):
                self.close()
                return
            super().ftp_FEAT(line)

        def _go_away(self):
            # As a restart would: every other connection drops at once, this
            # one once its reply is out.
            unavailable_until.append(time.monotonic() + args.unavailable_for)
            for other in list(self.ioloop.socket_map.values()):
                if other is not self and isinstance(other, FTPHandler):
                    other.close()
            self.close_when_done()

        def found_terminator(self):
            raw = b"".join(self._in_buffer)
            self._command("command", self.remote_port, raw.decode("utf-8", "backslashreplace"))
            super().found_terminator()

        def on_login(self, username):
            self._event("login", self.remote_port)

        def on_file_received(self, file):
            self._event("received", self.remote_port, file)
            received.append(file)
            if args.unavailable_after is not None and len(received) == args.unavailable_after:
                self._go_away()

        def ftp_EPSV(self, line):
            if args.refuse_listed_epsv:
                self.respond("502 EPSV is switched off.")
                return None
            return super().ftp_EPSV(line)

        def ftp_STOR(self, file, mode="w"):
            if args.refuse_listed_epsv and self.data_channel is None and self._dtp_acceptor is None:
                self.respond("425 Use PORT or PASV first.")
                return None
            if quota is not None and stored_bytes() >= quota:
                self.respond(refusal)
                return None
            return super().ftp_STOR(file, mode)

    class PlainDataHandler(Faults, DTPHandler):
        pass

    class DataHandler(Faults, TLS_DTPHandler):
        # pyftpdlib drops a protected data connection on which the client
        # begins the TLS handshake before it sends the transfer command (as
        # libcurl does); wait for the command instead.
        def readable(self):
            if self._ssl_accepting or self._ssl_want_read:
                return True
            if not self.receive and not self._initialized:
                return False
            return super().readable()

        def handle_ssl_established(self):
            self._tls13 = self.socket.get_protocol_version_name() == "TLSv1.3"
            if self.receive:
                self._refuse_if_tls13()

        def enable_receiving(self, type, cmd):
            super().enable_receiving(type, cmd)
            if getattr(self, "_tls13", False):
                self._refuse_if_tls13()

        def _refuse_if_tls13(self):
            if refuse_tls13 and self._tls13:
                self._resp = ("522 SSL connection failed: session reuse required", logging.info)
                self.close()

    def tampered(lines):
        for line in lines:
            if args.listing == "unreadable":
                # Names and sizes, but in no form a client knows.
                yield re.sub(rb"^\S+\s+\d+\s+\S+\s+\S+\s+(\d+)\s+\S+\s+\S+\s+\S+\s+", rb"\1 bytes: ", line)
            elif args.listing == "hides-hidden":
                if b"hidden" not in line:
                    yield line
            elif args.listing == "grown":
                yield re.sub(rb"size=(\d+)", lambda m: b"size=%d" % (int(m.group(1)) + 1), line, count=1)
            else:
                yield line

    class ListingFS(AbstractedFS):
        def format_list(self, *a, **k):
            return tampered(super().format_list(*a, **k))

        def format_mlsx(self, *a, **k):
            return tampered(super().format_mlsx(*a, **k))

    Handler.abstracted_fs = ListingFS
    Handler.authorizer = authorizer
    if args.wrong_hash:
        Handler.proto_cmds = dict(base.proto_cmds, HASH=dict(
            perm="r", auth=True, arg=True, help="Syntax: HASH <SP> file-name (SHA-256 of the file)."))
    # A wrong password is answered at once: the tests try several.
    Handler.auth_failed_timeout = 0
    lo, hi = (int(p) for p in args.passive.split("-"))
    Handler.passive_ports = range(lo, hi + 1)
    Handler.dtp_handler = PlainDataHandler
    if args.cert:
        Handler.certfile = args.cert
        Handler.keyfile = args.key
        Handler.tls_control_required = True
        Handler.tls_data_required = not args.plain_data
        Handler.dtp_handler = DataHandler
        if args.tls13_only:
            context = SSL.Context(SSL.TLS_METHOD)
            context.use_certificate_chain_file(args.cert)
            context.use_privatekey_file(args.key)
            context.set_min_proto_version(SSL.TLS1_3_VERSION)
            Handler.ssl_context = context

    server = FTPServer(("127.0.0.1", args.port), Handler)
    server.max_cons = 64
    # --max-per-address: more connections from one address get "421 Too many connections".
    server.max_cons_per_ip = args.max_per_address
    server.serve_forever(handle_exit=True)


if __name__ == "__main__":
    main()
