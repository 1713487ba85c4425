# The Python package against the reference job server and real FTP servers.
import hashlib
import os
import socket
import threading

import pytest

import qzws


def logged_in(servers):
    ws = qzws.WS()
    ws.login(servers.base_url, "alice", "wonderland").create_job("Sequencing run", {"project": "north"})
    return ws


def test_a_whole_job_with_progress(servers, tmp_path):
    run = tmp_path / "run1"
    (run / "sub").mkdir(parents=True)
    (run / "reads.bin").write_bytes(os.urandom(300000))
    (run / "sub" / "grüße.txt").write_text("hallo")
    (run / "elsewhere").symlink_to(tmp_path)  # a link to a folder: skipped with a notice
    seen = []
    ws = logged_in(servers)
    assert ws.get_state() == qzws.State.JOB_CREATED
    stats = ws.queue_recursive_directory(run).upload_queued_files(progress=seen.append)
    assert [local for local, reason in stats.skipped] == [str(run / "elsewhere")]
    assert not any(f.via_link for f in stats.files.values())

    assert ws.state == qzws.State.FINISHED and str(ws.state) == "finished"
    assert seen[-1].finished and seen[-1].total_bytes_transferred == 300005
    assert (stats.files_done, stats.files_total, stats.total_bytes_transferred) == (2, 2, 300005)
    records = {f.remote: f for f in stats.files.values()}
    assert records["sub/grüße.txt"].local == str(run / "sub" / "grüße.txt")
    assert all(f.result == qzws.FileResult.DONE and f.bytes_sent == f.file_size for f in records.values())
    for name in records:
        assert (servers.ftp_root / name).read_bytes() == (run / name).read_bytes()
        # pyftpdlib offers no HASH: its byte count checked the file.
        assert records[name].sha256 == hashlib.sha256((run / name).read_bytes()).hexdigest()
        assert not records[name].verified_by_hash
    job = servers.the_job()
    assert job["state"] == "finalized" and job["fields"]["project"] == "north"
    assert job["totalSize"] == 300005


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


@pytest.mark.parametrize("call, error, message, operation", [
    (lambda ws, s: ws.login(s.base_url, "alice", "wrong"), qzws.Error, None, "send_request"),
    (lambda ws, s: ws.login(s.base_url, "alice", "wonderland").create_job("No such form"), qzws.Error,
     'XML does not contain an order form called "No such form"', "createJob"),
    (lambda ws, s: ws.queue_single_file("/etc/hostname"), qzws.Error,
     'cannot queue a file from state "unknown"', "queueSingleFile"),
    (lambda ws, s: ws.login(closed_port_url(), "alice", "wonderland"), qzws.TransportError, None, None),
])
def test_errors_keep_the_library_message_and_diagnostics(servers, call, error, message, operation):
    ws = qzws.WS()
    with pytest.raises(error) as failed:
        call(ws, servers)
    assert isinstance(failed.value, RuntimeError) and str(failed.value)
    if message is not None:
        assert str(failed.value) == message == ws.message
    if operation is not None:
        assert failed.value.operation == operation
        assert failed.value.diagnostics["WS state name (current)"] == str(ws.get_state())


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
