# The Python package against the reference job server and real FTP servers.
import errno
import hashlib
import http.server
import importlib.metadata
import os
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest

import qzws


def logged_in(servers):
    ws = qzws.WS()
    ws.login(servers.base_url, "alice", "wonderland").create_job("Sequencing run", {"project": "north"})
    return ws


def test_a_whole_job_with_progress(servers, tmp_path, caplog):
    run = tmp_path / "run1"
    (run / "sub").mkdir(parents=True)
    (run / "reads.bin").write_bytes(os.urandom(300000))
    (run / "sub" / "grüße.txt").write_text("hallo")
    (run / "elsewhere").symlink_to(tmp_path)  # a link to a folder: skipped with a notice
    seen = []
    with qzws.WS() as ws:
        ws.login(servers.base_url, "alice", "wonderland").create_job("Sequencing run", {"project": "north"})
        cookies = tmp_path / ws.cookie_file
        assert ws.get_state() == qzws.State.JOB_CREATED and cookies.exists()
        stats = ws.queue_recursive_directory(run).upload_queued_files(progress=seen.append)
        assert ws.state == qzws.State.FINISHED and str(ws.state) == "finished"
    assert not cookies.exists()
    assert [local for local, reason in stats.skipped] == [str(run / "elsewhere")]
    assert not any(f.via_link for f in stats.files.values())
    warnings = [r.getMessage() for r in caplog.records if r.name == "qzws" and r.levelname == "WARNING"]
    assert warnings == ["skipped %s: %s" % stats.skipped[0]]

    assert seen[-1].finished and seen[-1].total_bytes_transferred == 300005
    assert (stats.files_done, stats.files_total, stats.total_bytes_transferred) == (2, 2, 300005)
    assert [f.remote for f in stats.files.values()] == ["reads.bin", "sub/grüße.txt"]  # file order
    records = {f.remote: f for f in stats.files.values()}
    assert records["sub/grüße.txt"].local == str(run / "sub" / "grüße.txt")
    assert all(f.result == qzws.FileResult.DONE and f.bytes_sent == f.file_size for f in records.values())
    for name in records:
        assert (servers.ftp_root / name).read_bytes() == (run / name).read_bytes()
        # pyftpdlib offers no HASH: its byte count checked the file.
        assert records[name].sha256 == hashlib.sha256((run / name).read_bytes()).hexdigest()
        assert (records[name].verified_by, records[name].verified_by_hash) == ("size", False)
    job = servers.the_job()
    assert job["state"] == "finalized" and job["fields"]["project"] == "north"
    assert job["totalSize"] == 300005


def test_the_readme_example_sends_a_job(servers, tmp_path):
    source = os.environ["QZWS_SOURCE_DIR"]
    example = open(source + "/examples/upload_job.py", encoding="utf-8").read()
    readme = open(source + "/README.md", encoding="utf-8").read()
    assert readme.split("```python\n")[1].split("```")[0] in example  # the README shows the example
    (tmp_path / "run" / "sub").mkdir(parents=True)
    (tmp_path / "run" / "sub" / "a.txt").write_text("a")
    (tmp_path / "b.txt").write_text("bb")
    (tmp_path / "cwd").mkdir()
    done = subprocess.run([sys.executable, source + "/examples/upload_job.py", servers.base_url, "alice",
                           "Sequencing run", str(tmp_path / "run"), str(tmp_path / "b.txt")],
                          env=dict(os.environ, QZWS_PASSWORD="wonderland"), cwd=tmp_path / "cwd",
                          capture_output=True, text=True)
    job = servers.the_job()
    assert done.stdout.splitlines()[-1] == "job %s: 2 files, 3 bytes" % job["id"], done.stderr
    assert job["state"] == "finalized"
    assert not list((tmp_path / "cwd").iterdir())  # the cookie file went with the client


def test_the_installed_package_knows_its_version_and_names():
    assert qzws.__version__ == importlib.metadata.version("qzws") == os.environ["QZWS_VERSION"]
    for name in ["WS", "Stats", "FileStats", "Error", "TransportError", "PathNotFoundError", "SettingError"]:
        assert getattr(qzws, name).__module__ == "qzws", name
    assert "C++ uploadQueuedFiles" in qzws.WS.upload_queued_files.__doc__


def test_settings_take_keywords_and_numbers_and_refusals_raise():
    ws = qzws.WS()
    both = {"timeout": "", "connecttimeout": ""}
    assert ws.get_x(both) == {"timeout": "600", "connecttimeout": "30"}  # as the command line has them
    assert ws.set_x({"timeout": 60}, connecttimeout=5, verbose=False) is ws
    assert ws.get_x(both) == {"timeout": "60", "connecttimeout": "5"}
    with pytest.raises(TypeError, match="timeout"):
        ws.set_x(timeout=1.5)
    assert ws.reset().get_x(both) == {"timeout": "600", "connecttimeout": "30"}


def test_a_file_that_fails_is_named_and_the_others_arrive(servers, tmp_path):
    (tmp_path / "in").mkdir()
    (tmp_path / "in" / "kept.txt").write_text("kept")
    (tmp_path / "in" / "gone.txt").write_text("gone")
    ws = logged_in(servers).queue_recursive_directory(str(tmp_path / "in"))
    (tmp_path / "in" / "gone.txt").unlink()

    with pytest.raises(qzws.Error) as failed:
        ws.upload_queued_files()
    assert "gone.txt" in str(failed.value)
    assert ws.message == "file upload failed: " + str(failed.value)
    assert failed.value.operation == "upload"
    assert failed.value.diagnostics["files failed"] == "1"
    results = {f.remote: f.result for f in ws.stats.files.values()}
    assert results == {"gone.txt": qzws.FileResult.FAILED, "kept.txt": qzws.FileResult.DONE}
    assert servers.the_job()["state"] == "created"  # nothing reported as finished


def closed_port_url():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return "http://127.0.0.1:%d/" % s.getsockname()[1]


@pytest.fixture
def silent_server():
    """An HTTP server that answers 200 with a word that is no confirmation."""
    class Handler(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            self.rfile.read(int(self.headers["Content-Length"]))
            self.send_response(200)
            self.send_header("Content-Length", "4")
            self.end_headers()
            self.wfile.write(b"nope")

        def log_message(self, *args):
            pass

    server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
    thread = threading.Thread(target=server.serve_forever)
    thread.start()
    yield "http://127.0.0.1:%d/" % server.server_address[1]
    server.shutdown()
    thread.join()
    server.server_close()


def job_created(ws, s):
    return ws.login(s.base_url, "alice", "wonderland").create_job("Sequencing run")


@pytest.mark.parametrize("call, kinds, message, operation", [
    (lambda ws, s, x: ws.login(s.base_url, "alice", "wrong"), (), None, "send_request"),
    (lambda ws, s, x: ws.login(x, "alice", "wonderland"), (), "the server did not confirm the login", "login"),
    (lambda ws, s, x: ws.login(s.base_url, "alice", "wonderland").create_job("No such form"), (),
     'XML does not contain an order form called "No such form"', "createJob"),
    (lambda ws, s, x: ws.queue_single_file("/etc/hostname"), (),
     'cannot queue a file from state "unknown"', "queueSingleFile"),
    (lambda ws, s, x: job_created(ws, s).queue_recursive_directory("/no/such/run"),
     (qzws.PathNotFoundError, FileNotFoundError), 'cannot queue "/no/such/run": No such file or directory', None),
    (lambda ws, s, x: ws.set_x(timeout="soon", verbose=True), (qzws.SettingError, ValueError),
     'invalid value "soon" for key "timeout"', "setX"),
    (lambda ws, s, x: ws.set_x(speed=3, verbose="on"), (qzws.SettingError, ValueError), 'unknown key "speed"', "setX"),
    (lambda ws, s, x: ws.login(closed_port_url(), "alice", "wonderland"), (qzws.TransportError, ConnectionError),
     None, None),
])
def test_errors_keep_the_library_message_and_diagnostics(servers, silent_server, call, kinds, message, operation):
    ws = qzws.WS()
    with pytest.raises(qzws.Error) as failed:
        call(ws, servers, silent_server)
    assert all(isinstance(failed.value, kind) for kind in kinds + (RuntimeError,))
    assert str(failed.value)
    if message is not None:
        assert str(failed.value) == message
    if operation is not None:
        assert ws.message == str(failed.value)
        assert failed.value.operation == operation
        assert failed.value.diagnostics["WS state name (current)"] == str(ws.get_state())
    if isinstance(failed.value, FileNotFoundError):
        assert failed.value.filename == "/no/such/run" and failed.value.errno == errno.ENOENT
    if isinstance(failed.value, qzws.SettingError):
        assert ws.verbose  # what was not refused is set


# Run in a child that gets SIGINT once it has been waiting a moment; it
# prints how the call ended, the client's state and the job's.
INTERRUPTED_CALL = r"""
import socket, sys, time, qzws
url, what, folder = sys.argv[1:]
qzws.initialize_third_party_libs()
ws = qzws.WS()
try:
    if what == "login to a server that never answers":
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            s.listen()
            print("waiting", flush=True)
            ws.login("http://127.0.0.1:%d/" % s.getsockname()[1], "alice", "wonderland")
    else:
        ws.login(url, "alice", "wonderland").create_job("Sequencing run").queue_single_file(folder + "/big.bin")
        print("waiting", flush=True)
        ws.upload_queued_files(None if what == "upload" else (lambda stats: None))
    print("not interrupted")
except KeyboardInterrupt:
    print("interrupted in state", ws.get_state())
"""


@pytest.mark.parametrize("what, state", [
    ("login to a server that never answers", "unknown"),
    ("upload", "uploading"),
    ("upload with a progress callable", "uploading"),
])
def test_ctrl_c_stops_a_waiting_call(slow_servers, tmp_path, what, state):
    (tmp_path / "big.bin").write_bytes(os.urandom(4 * 1024 * 1024))  # a minute at the job's 1 Mbit/s
    child = subprocess.Popen([sys.executable, "-c", INTERRUPTED_CALL, slow_servers.base_url, what, str(tmp_path)],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert child.stdout.readline() == "waiting\n"
    time.sleep(1.5)  # well into the request or the transfer
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=30)
    assert out == "interrupted in state %s\n" % state, err
    if what != "login to a server that never answers":
        assert slow_servers.the_job()["state"] == "created"  # not finalized


def test_an_exception_in_the_progress_callback_stops_the_upload(servers, tmp_path):
    (tmp_path / "a.txt").write_text("a")
    ws = logged_in(servers).queue_single_file(tmp_path / "a.txt")
    stop = KeyError("stop here")

    def progress(stats):
        raise stop

    with pytest.raises(KeyError) as raised:
        ws.upload_queued_files(progress)
    assert raised.value is stop
    assert ws.get_state() == qzws.State.UPLOADING
    assert servers.the_job()["state"] == "created"


def test_other_threads_run_while_an_upload_waits(servers_with_ftp_in_this_process, tmp_path):
    # The transfer server answers from a thread of this process, so the
    # upload finishes only if the client releases the interpreter while it
    # waits, and the callback takes it back safely.
    (tmp_path / "a.bin").write_bytes(os.urandom(100000))
    ws = logged_in(servers_with_ftp_in_this_process).queue_single_file(tmp_path / "a.bin")
    callers = set()
    stats = ws.upload_queued_files(lambda s: callers.add(threading.get_ident()))
    assert stats.files_done == 1 and callers == {threading.get_ident()}
    assert (servers_with_ftp_in_this_process.ftp_root / "a.bin").read_bytes() == (tmp_path / "a.bin").read_bytes()


def test_a_path_with_a_null_byte_is_refused_before_it_reaches_the_system(tmp_path):
    (tmp_path / "a").write_text("a")
    with pytest.raises(ValueError, match="null byte"):
        qzws.WS().queue_single_file(str(tmp_path / "a") + "\0.txt")


def test_bytes_that_are_not_utf8_cross_unchanged(servers, tmp_path):
    name = os.fsencode(tmp_path) + b"/caf\xe9.txt"
    with open(name, "wb") as f:
        f.write(b"x")
    ws = logged_in(servers)
    try:
        ws.queue_single_file(name)
        text = ws.stats.files[1].local
    except qzws.Error as refused:  # an engine may refuse such names, naming them
        text = str(refused)
    assert os.fsencode(tmp_path) + b"/caf\xe9.txt" in os.fsencode(text)
