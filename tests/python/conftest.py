# Servers for the Python tests: the built qzws-jobserver and a real FTP server
# (the one the C++ tests use, or pyftpdlib inside this process), all on
# 127.0.0.1, free ports, in the test's temporary folder.
import json
import os
import random
import signal
import socket
import subprocess
import threading
import time
import urllib.request

import pytest

import qzws

SOURCE_DIR = os.environ["QZWS_SOURCE_DIR"]
BINARY_DIR = os.environ["QZWS_BINARY_DIR"]
FTP_USER, FTP_PASSWORD = "tester", "pa55 word"
ADMIN_TOKEN = "python-tests-admin-token"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def free_port_range(count):
    # Below the kernel's ephemeral range, so that no client port lands in it.
    for _ in range(200):
        low = random.randint(20000, 30000)
        try:
            for port in range(low, low + count):
                with socket.socket() as s:
                    s.bind(("127.0.0.1", port))
            return low
        except OSError:
            continue
    raise RuntimeError("no free passive port range on 127.0.0.1")


def wait_until_accepting(port, process, log):
    for _ in range(1000):
        if process.poll() is not None:
            raise RuntimeError("the FTP server exited at start: " + log.read_text())
        with socket.socket() as s:
            if s.connect_ex(("127.0.0.1", port)) == 0:
                return
        time.sleep(0.02)
    raise RuntimeError("the FTP server did not accept on port %d" % port)


class Servers:
    def __init__(self, folder):
        self.folder = folder
        self.processes = []
        self.ftp_root = folder / "served"
        self.ftp_root.mkdir()

    def start_ftp(self):
        """The tests' FTP server as a child process; returns its port."""
        port, passive = free_port(), free_port_range(16)
        log = self.folder / "ftp.log"
        with open(log, "wb") as out:
            process = subprocess.Popen(
                ["/usr/bin/python3", SOURCE_DIR + "/tests/support/ftp_server.py", "--port", str(port),
                 "--root", str(self.ftp_root), "--user", FTP_USER, "--password", FTP_PASSWORD,
                 "--passive", "%d-%d" % (passive, passive + 15)],
                stdout=out, stderr=subprocess.STDOUT)
        self.processes.append(process)
        wait_until_accepting(port, process, log)
        return port

    def start_jobserver(self, ftp_port, ftp_attributes=None):
        config = {
            "users": [{"name": "alice", "password": "wonderland"}],
            "orderForms": [{"name": "Sequencing run", "type": "job"}],
            "transferServer": {"host": "127.0.0.1", "port": ftp_port, "user": FTP_USER,
                               "password": FTP_PASSWORD, "path": "/", "localRoot": str(self.ftp_root),
                               "attributes": ftp_attributes or {}},
            "adminToken": ADMIN_TOKEN,
        }
        (self.folder / "jobserver.json").write_text(json.dumps(config))
        with open(self.folder / "jobserver.log", "wb") as log:
            process = subprocess.Popen(
                [BINARY_DIR + "/tools/jobserver/qzws-jobserver", "--config", str(self.folder / "jobserver.json"),
                 "--listen", "127.0.0.1:0"], stdout=subprocess.PIPE, stderr=log)
        self.processes.append(process)
        line = process.stdout.readline().decode()
        if not line.startswith("listening on "):
            raise RuntimeError("qzws-jobserver did not start: " + (self.folder / "jobserver.log").read_text())
        self.base_url = line[len("listening on "):].strip()

    def the_job(self):
        request = urllib.request.Request(self.base_url + "admin/jobs",
                                         headers={"Authorization": "Bearer " + ADMIN_TOKEN})
        with urllib.request.urlopen(request) as answer:
            jobs = json.load(answer)["jobs"]
        assert len(jobs) == 1
        return jobs[0]

    def stop(self):
        for process in self.processes:
            process.send_signal(signal.SIGTERM)
            process.wait()
            if process.stdout:
                process.stdout.close()


@pytest.fixture(autouse=True)
def in_temp_folder(tmp_path, monkeypatch):
    # The client keeps its cookie file and the engine its logs in the working folder.
    monkeypatch.chdir(tmp_path)
    qzws.initialize_third_party_libs()


@pytest.fixture
def servers(tmp_path):
    """A job server whose transfer server is the tests' FTP server."""
    s = Servers(tmp_path)
    try:
        s.start_jobserver(s.start_ftp())
        yield s
    finally:
        s.stop()


@pytest.fixture
def slow_servers(tmp_path):
    """Servers whose job tells the client to send at 1 Mbit/s."""
    s = Servers(tmp_path)
    try:
        s.start_jobserver(s.start_ftp(), {"bandwidth": 1, "congestionControlStartRate": 1})
        yield s
    finally:
        s.stop()


@pytest.fixture
def servers_with_ftp_in_this_process(tmp_path):
    """A job server whose transfer server runs on a thread of this process:
    an upload only gets through when the client lets other threads run."""
    from pyftpdlib.authorizers import DummyAuthorizer
    from pyftpdlib.handlers import FTPHandler
    from pyftpdlib.servers import FTPServer

    s = Servers(tmp_path)
    authorizer = DummyAuthorizer()
    authorizer.add_user(FTP_USER, FTP_PASSWORD, str(s.ftp_root), perm="elradfmwMT")
    handler = type("Handler", (FTPHandler,), {"authorizer": authorizer})
    ftp = FTPServer(("127.0.0.1", 0), handler)
    stop = threading.Event()

    def serve():
        while not stop.is_set():
            ftp.serve_forever(timeout=0.05, blocking=False)
        ftp.close_all()

    thread = threading.Thread(target=serve)
    thread.start()
    try:
        s.start_jobserver(ftp.address[1])
        yield s
    finally:
        stop.set()
        thread.join()
        s.stop()
