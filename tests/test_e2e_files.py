"""Files on real servers (uvicorn, hypercorn, granian over ASGI and RSGI),
serving tests/files_app.py: whole files intact, HEAD, conditional requests,
byte ranges, a missing file, and the worker's memory while a 64 MiB file
goes out to a client that reads at full speed (through Application, and
through penmoth's senders alone)."""

import hashlib
import os
import threading
import time

import pytest

from servers import SERVERS, running_server

pytestmark = pytest.mark.timeout(120)

HERE = os.path.dirname(os.path.abspath(__file__))
MiB = 1024 * 1024


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    root = tmp_path_factory.mktemp("files")
    chunk = os.urandom(MiB)
    (root / "eight.bin").write_bytes(chunk * 8)
    (root / "small.txt").write_bytes(b"0123456789" * 100)
    with open(root / "big.bin", "wb") as f:
        for _ in range(64):
            f.write(chunk)
    return root


@pytest.fixture(scope="module", params=list(SERVERS))
def server_process(request, files):
    env = {
        "PYTHONPATH": os.pathsep.join(filter(None, [HERE, os.environ.get("PYTHONPATH")])),
        "MORROWFEN_E2E_FILES": str(files),
    }
    return running_server(request, request.param, "files_app:{interface}_app", env=env)


def test_a_whole_file_arrives_intact(client, files):
    expected = hashlib.sha256((files / "eight.bin").read_bytes()).hexdigest()
    r = client.get("/files/eight.bin")
    assert r.status_code == 200 and r.headers["content-length"] == str(8 * MiB)
    assert hashlib.sha256(r.content).hexdigest() == expected
    assert r.headers["content-type"] == "application/octet-stream" and r.headers["accept-ranges"] == "bytes"
    penmoth = client.get("/penmoth/eight.bin")
    assert hashlib.sha256(penmoth.content).hexdigest() == expected


def test_head_and_conditional_requests(client):
    r = client.get("/files/small.txt")
    assert r.headers["content-type"] == "text/plain; charset=utf-8"
    etag, modified = r.headers["etag"], r.headers["last-modified"]
    head = client.head("/files/small.txt")
    assert head.status_code == 200 and head.content == b""
    assert {k: head.headers[k] for k in ("content-length", "etag", "last-modified")} == {
        "content-length": "1000",
        "etag": etag,
        "last-modified": modified,
    }
    for condition in ({"if-none-match": etag}, {"if-modified-since": modified}):
        r = client.get("/files/small.txt", headers=condition)
        assert (r.status_code, r.content, r.headers["etag"]) == (304, b"", etag), condition
    r = client.get("/files/small.txt", headers={"if-none-match": '"stale"', "if-modified-since": modified})
    assert (r.status_code, len(r.content)) == (200, 1000)


def test_byte_ranges(client, files):
    data = (files / "eight.bin").read_bytes()
    r = client.get("/files/eight.bin", headers={"range": "bytes=100-199"})
    assert (r.status_code, r.headers["content-range"], r.content) == (206, f"bytes 100-199/{8 * MiB}", data[100:200])
    r = client.get("/files/eight.bin", headers={"range": "bytes=-1000"})
    assert (r.status_code, r.content) == (206, data[-1000:])
    r = client.get("/files/eight.bin", headers={"range": f"bytes={8 * MiB}-"})
    assert (r.status_code, r.headers["content-range"], r.content) == (416, f"bytes */{8 * MiB}", b"")


def test_a_missing_file(server, client, files):
    r = client.get("/files/no-such-file.txt")
    assert (r.status_code, r.text) == (404, "Not Found")
    assert str(files) not in r.text and "no-such-file" not in r.text


def peak_growth_while(server, download):
    """How far the server's memory rose above what it was before, while `download()` ran (KiB)."""
    before = server.rss_kib()
    peak = [before]
    done = threading.Event()

    def watch():
        while not done.is_set():
            peak[0] = max(peak[0], server.rss_kib())
            time.sleep(0.01)

    watcher = threading.Thread(target=watch)
    watcher.start()
    try:
        result = download()
    finally:
        done.set()
        watcher.join()
    return peak[0] - before, result


@pytest.mark.parametrize("route", ["files", "penmoth"])
def test_memory_stays_bounded_while_a_large_file_goes_out(server, client, files, route):
    client.get(f"/{route}/eight.bin")  # the first file makes the worker threads and their buffers

    def download():
        digest = hashlib.sha256()
        with client.stream("GET", f"/{route}/big.bin") as r:
            for chunk in r.iter_bytes(MiB):
                digest.update(chunk)
        return digest.hexdigest()

    grown, digest = peak_growth_while(server, download)
    assert digest == hashlib.sha256((files / "big.bin").read_bytes()).hexdigest()
    assert grown < 32 * 1024, f"the server grew by {grown} KiB"
