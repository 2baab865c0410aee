"""Header rules on the wire of every server: an invalid header gives the same
outcome everywhere (the module refuses it, the server answers 500), valid
header bytes arrive unaltered, and no length goes out where HTTP forbids one.
Read with raw sockets, so that what the server wrote is seen byte for byte."""

import os
import socket

import pytest

from servers import HOST, SERVERS, running_server
from wire_app import CAFE, EURO

pytestmark = pytest.mark.timeout(90)


@pytest.fixture(scope="module", params=list(SERVERS))
def server_process(request):
    here = os.path.dirname(os.path.abspath(__file__))
    return running_server(
        request, request.param, "wire_app:{interface}_app", env={"PYTHONPATH": here}, ready_paths=["/utf8"]
    )


def fetch(server, path):
    """(status, [(name, value)] as raw bytes, body) of one request on a fresh connection."""
    with socket.create_connection((HOST, server.port), timeout=10) as s:
        s.sendall(b"GET " + path.encode() + b" HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
        data = b""
        while chunk := s.recv(65536):
            data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    lines = head.split(b"\r\n")
    status = int(lines[0].split()[1])
    headers = [tuple(part.strip() for part in line.split(b":", 1)) for line in lines[1:]]
    return status, headers, body


def values(headers, name):
    return [v for n, v in headers if n.lower() == name]


@pytest.mark.parametrize("path", ["/bad/value", "/bad/name", "/bad/content-type"])
def test_invalid_headers_answer_500_everywhere(server, path):
    status, headers, _ = fetch(server, path)
    assert status == 500
    assert not values(headers, b"injected") and not values(headers, b"x user")
    assert all(b"injected" not in v.lower() for _, v in headers)
    assert fetch(server, "/utf8")[0] == 200  # the server goes on serving


def test_header_bytes_arrive_unaltered(server):
    status, headers, body = fetch(server, "/utf8")
    assert (status, body) == (200, b"ok")
    assert values(headers, b"x-cafe") == [CAFE]
    assert values(headers, b"x-euro") == [EURO]
    assert values(headers, b"location") == [b"/" + CAFE]
    assert values(fetch(server, "/utf8/content-type")[1], b"content-type") == [b"text/plain; title=" + CAFE]


def test_cookie_header(server):
    assert values(fetch(server, "/cookie")[1], b"set-cookie") == [
        b"sid=a%20b; Domain=example.org; Path=/p; Secure; SameSite=Strict"
    ]


@pytest.mark.parametrize("path, status", [("/204", 204), ("/304", 304)])
def test_no_length_where_http_forbids_one(server, path, status):
    got, headers, body = fetch(server, path)
    assert (got, body) == (status, b"")
    assert values(headers, b"content-length") == []
    assert values(headers, b"transfer-encoding") == []


def test_empty_200_keeps_its_length(server):
    status, headers, body = fetch(server, "/200/empty")
    assert (status, body) == (200, b"")
    assert values(headers, b"content-length") in ([b"0"], [])  # granian RSGI may leave a 0 out
