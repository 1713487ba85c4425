#!/usr/bin/python3
# A small FTP/FTPS server for the tests, on pyftpdlib. Run by ftp_server.hpp:
#   ftp_server.py --port P --root DIR --user U --password W --passive LO-HI
#                 [--cert PEM --key PEM [--refuse-tls13-data | --tls13-only]]
#                 [--events FILE]
# With --cert and --key, TLS is required on the control and the data
# connections; --refuse-tls13-data answers a TLS 1.3 data connection with
# "522 SSL connection failed: session reuse required", as servers do that
# insist on resumed sessions, and --tls13-only speaks nothing older. With --events, one line per login ("login PORT") and per stored
# file ("received PORT PATH") is appended to FILE, PORT being the client's
# port of that control connection, so tests can tell connections apart.
import argparse
import logging
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler, TLS_DTPHandler, TLS_FTPHandler
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
    parser.add_argument("--refuse-tls13-data", action="store_true")
    parser.add_argument("--tls13-only", action="store_true")
    args = parser.parse_args()

    logging.basicConfig(level=logging.WARNING, stream=sys.stderr)
    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, args.root, perm="elradfmwMT")

    base = TLS_FTPHandler if args.cert else FTPHandler
    events = args.events
    refuse_tls13 = args.refuse_tls13_data

    class Handler(base):
        def _event(self, *words):
            if events:
                with open(events, "a", encoding="utf-8", errors="surrogateescape") as out:
                    out.write(" ".join(str(w) for w in words) + "\n")

        def on_login(self, username):
            self._event("login", self.remote_port)

        def on_file_received(self, file):
            self._event("received", self.remote_port, file)

    class DataHandler(TLS_DTPHandler):
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

    Handler.authorizer = authorizer
    # A wrong password is answered at once: the tests try several.
    Handler.auth_failed_timeout = 0
    lo, hi = (int(p) for p in args.passive.split("-"))
    Handler.passive_ports = range(lo, hi + 1)
    if args.cert:
        Handler.certfile = args.cert
        Handler.keyfile = args.key
        Handler.tls_control_required = True
        Handler.tls_data_required = True
        Handler.dtp_handler = DataHandler
        if args.tls13_only:
            context = SSL.Context(SSL.TLS_METHOD)
            context.use_certificate_chain_file(args.cert)
            context.use_privatekey_file(args.key)
            context.set_min_proto_version(SSL.TLS1_3_VERSION)
            Handler.ssl_context = context

    server = FTPServer(("127.0.0.1", args.port), Handler)
    server.max_cons = 64
    server.serve_forever(handle_exit=True)


if __name__ == "__main__":
    main()
