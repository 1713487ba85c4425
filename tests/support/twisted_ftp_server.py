#!/usr/bin/python3
# Twisted's FTP server (python3-twisted, twisted.protocols.ftp) for the tests,
# as a host program would embed it. Run by twisted_ftp_server.hpp:
#   twisted_ftp_server.py --port P --root DIR --user U --password W --passive LO-HI
# Serves DIR to the one user U (password W) on 127.0.0.1:P, passive data
# connections on ports LO to HI; anonymous logins are refused.
import argparse

from twisted.cred.checkers import InMemoryUsernamePasswordDatabaseDontUse
from twisted.cred.portal import Portal
from twisted.internet import reactor
from twisted.protocols.ftp import BaseFTPRealm, FTPFactory
from twisted.python.filepath import FilePath


class OneFolderRealm(BaseFTPRealm):
    # Every user's home is the served folder.
    def __init__(self, root):
        super().__init__(root)
        self._root = FilePath(root)

    def getHomeDirectory(self, avatarId):
        return self._root


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--root", required=True)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--passive", required=True)
    args = parser.parse_args()

    # The server hands the checker the user and password as it decoded them
    # (str), so they are stored as str.
    checker = InMemoryUsernamePasswordDatabaseDontUse()
    checker.addUser(args.user, args.password)
    factory = FTPFactory(Portal(OneFolderRealm(args.root), [checker]))
    factory.allowAnonymous = False
    lo, hi = (int(p) for p in args.passive.split("-"))
    factory.passivePortRange = range(lo, hi + 1)
    reactor.listenTCP(args.port, factory, interface="127.0.0.1")
    reactor.run()


if __name__ == "__main__":
    main()
