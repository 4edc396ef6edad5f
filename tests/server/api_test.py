"""leafid-serve's JSON API against the running server, over real sockets: shared photos get the
dialogue's answer (and leafid-eval --json's object); every refusal has its status; a 1 GB body
and an endless request line are refused without being read; a stop signal lets the request
under way finish.
Usage: api_test.py SERVE LEAFID EVAL NETWORK LEAVES_DIR"""
import http.client
import json
import os
import re
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import zlib

from serve_support import dialogue_line, started_server

serve, leafid, evaluate, network, leaves = sys.argv[1:6]


def post(url, body, headers=None, path="/api/identify?pictures=no", method="POST"):
    connection = http.client.HTTPConnection(*url.split("/")[2].split(":"), timeout=30)
    connection.request(method, path, body, headers or {})
    response = connection.getresponse()
    return response.status, dict(response.getheaders()), json.loads(response.read())


def raw(url, data):
    """Sends data, then reads the answer until the server closes: (status, seconds)."""
    host, port = url.split("/")[2].split(":")
    start = time.time()
    with socket.create_connection((host, int(port)), timeout=10) as connection:
        connection.sendall(data)
        received = b""
        while chunk := connection.recv(65536):
            received += chunk
    status = int(received.split(b" ")[1]) if received.startswith(b"HTTP/1.1 ") else None
    return status, time.time() - start


def png_chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


# A few hundred bytes that claim 100000 x 100000 grey pixels: 10 GB to decode.
bomb = (b"\x89PNG\r\n\x1a\n"
        + png_chunk(b"IHDR", struct.pack(">IIBBBBB", 100000, 100000, 8, 0, 0, 0, 0))
        + png_chunk(b"IDAT", zlib.compress(bytes(100001 * 4))) + png_chunk(b"IEND", b""))
multipart = "--b\r\nContent-Disposition: form-data; name=\"photo\"; filename=\"x.jpg\"\r\n\r\n"
POST = b"POST /api/identify HTTP/1.1\r\n"
GB = b"Content-Length: 1000000000\r\n"
refusals = [  # name, request, status
    ("not a picture", POST + b"Content-Length: 5\r\n\r\nhello", 415),
    ("no photo", POST + b"Content-Length: 0\r\n\r\n", 400),
    ("broken form", POST + b"Content-Type: multipart/form-data; boundary=b\r\n"
                           b"Content-Length: 9\r\n\r\n--b\r\njunk", 400),
    ("no request line", b"NONSENSE\r\n\r\n", 400),
    ("no length", POST + b"Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n", 411),
    ("compressed", POST + b"Content-Encoding: gzip\r\nContent-Length: 5\r\n\r\nhello", 415),
    ("1 GB, body never sent", POST + GB + b"\r\n", 413),
    ("1 GB, waiting to continue", POST + GB + b"Expect: 100-continue\r\n\r\n", 413),
    ("other method", b"PUT /api/identify HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello", 405),
    ("other path", b"POST /upload HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello", 404),
]

with tempfile.TemporaryDirectory() as work:
    # One worker and no queue: a second photo while one is received is refused.
    one_place = ("--threads", "1", "--queue", "0")
    with started_server(serve, network, work, *one_place) as (url, server, log):
        for name, request, status in refusals:
            answer, seconds = raw(url, request)
            assert answer == status, f"{name}: {answer} instead of {status}"
            assert seconds < 2, f"{name}: the refusal took {seconds:.1f} s"
        bomb_file = os.path.join(work, "bomb.png")
        open(bomb_file, "wb").write(bomb)
        for name, body in [("not a picture", b"hello"), ("decompression bomb", bomb)]:
            open(os.path.join(work, "photo"), "wb").write(body)
            status, _, answer = post(url, body)
            assert status == 415 and answer["error"], f"{name}: {status} {answer}"
            expected = dialogue_line(leafid, network, os.path.join(work, "photo"))
            assert answer["answer"] == expected, f"{name}: {answer['answer']!r}, not {expected!r}"

        # A photo under way holds the only place: the next is refused, the one after is not.
        held = socket.create_connection(url.split("/")[2].split(":"), timeout=10)
        held.sendall(b"POST /api/identify HTTP/1.1\r\nContent-Length: 10\r\n\r\nhel")
        time.sleep(0.3)
        status, headers, answer = post(url, b"hello")
        assert status == 503 and headers.get("Retry-After") == "1", f"busy: {status} {headers}"
        status_file = f"/proc/{server.pid}/status"
        rss = lambda: int(re.search(r"VmRSS:\s+(\d+)", open(status_file).read())[1])
        before = rss()
        endless = socket.create_connection(url.split("/")[2].split(":"), timeout=10)
        try:
            endless.sendall(b"GET /" + b"a" * (32 << 20))
        except OSError:
            pass  # the server hung up: it will not read more than a request's head
        assert rss() - before < 16 * 1024, f"a 32 MB request line took {rss() - before} kB"
        # A stop signal lets the photo under way finish; new connections are not taken.
        server.send_signal(signal.SIGTERM)
        time.sleep(0.3)
        held.sendall(b"lo, world!")
        assert held.recv(100).startswith(b"HTTP/1.1 415"), "the photo under way was not answered"
        assert server.wait(timeout=10) == 0, "the server did not end cleanly"
        lines = open(log).read().splitlines()
        logged = r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ 127\.0\.0\.1 POST /api/identify 415 \d+ \d+ms"
        assert any(re.fullmatch(logged, line) for line in lines), "no request line in the log"

    photos = []
    for folder in ["ginkgo", "lime", "maple", "oak", "willow", "other", "../phone", "../nonleaf"]:
        path = os.path.join(leaves, folder)
        if os.path.isdir(path):
            photos += [os.path.join(path, name) for name in sorted(os.listdir(path))[:2]
                       if name.lower().endswith((".jpg", ".jpeg", ".png"))]
    if not photos:
        print(f"SKIPPED the shared photos: they are not in {leaves}")
        sys.exit(0)
    # leafid-eval --json writes the same object for the same photo.
    labelled = os.path.join(work, "labelled")
    classes = ["ginkgo", "lime", "maple", "oak", "willow", "other"]
    for folder in classes:
        os.makedirs(os.path.join(labelled, folder))
    for photo in photos:
        folder = os.path.basename(os.path.dirname(photo))
        folder = folder if folder in classes else "other"
        os.symlink(photo, os.path.join(labelled, folder, os.path.basename(photo)))
    subprocess.run([evaluate, "--network", network, "--json", os.path.join(work, "lines"),
                    labelled], capture_output=True, check=True)
    evaluated = {os.path.basename(line["path"]): line for line in
                 map(json.loads, open(os.path.join(work, "lines")))}
    with started_server(serve, network, work) as (url, server, log):
        health = post(url, None, path="/api/health", method="GET")[2]
        assert health["status"] == "ok" and health["outputs"] in (5, 6), health
        for photo in photos:
            body = open(photo, "rb").read()
            status, _, answer = post(url, body, {"Content-Type": "image/jpeg"})
            expected = dialogue_line(leafid, network, photo)
            assert answer["answer"] == expected, f"{photo}: {answer['answer']!r}, not {expected!r}"
            assert status == (415 if "isn't a readable image" in expected else 200), photo
            assert (answer["species"] is None) == (not expected.startswith("tree = ")), photo
            line = evaluated[os.path.basename(photo)]
            del line["path"], line["class"]
            assert {k: v for k, v in answer.items() if k != "error"} == line, \
                f"{photo}: the API and leafid-eval --json differ"
            form = post(url, multipart.encode() + body + b"\r\n--b--\r\n",
                        {"Content-Type": "multipart/form-data; boundary=b"})
            assert form[2] == answer, f"{photo}: sent as a form, it is answered otherwise"
print("API answered", len(photos), "shared photos as leafid does; every refusal as it should")
