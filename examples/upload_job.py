#!/usr/bin/python3
# Sends files and folders to a job server as one job, with a progress bar.
#   QZWS_PASSWORD=secret upload_job.py https://jobs.example.net/app/ alice Upload report.pdf data/
import os, sys, qzws

def bar(s):
    done = s.total_bytes_transferred / max(s.total_bytes, 1)
    print(f"\r[{'#' * int(40 * done):40}] {done:4.0%} {s.files_done}/{s.files_total} files",
          end="\n" if s.finished else "", flush=True)

url, user, form, *paths = sys.argv[1:]
qzws.initialize_third_party_libs()
with qzws.WS() as ws:
    ws.login(url, user, os.environ["QZWS_PASSWORD"]).create_job(form)
    for path in paths:
        ws.queue_recursive_directory(path) if os.path.isdir(path) else ws.queue_single_file(path)
    stats = ws.upload_queued_files(progress=bar)
    print(f"job {ws.job_id}: {stats.files_done} files, {stats.total_bytes_transferred} bytes")
