"""leafid-serve's JSON API over real sockets: answers, refusals, limits, crowds, log and stop, as
docs/serve.md's Tests section lists them.  Usage: api_test.py SERVE LEAFID EVAL NETWORK LEAVES"""
import base64
import contextlib
import http.client
import json
import os
import re
import resource
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

from serve_support import dialogue_line, started_server

serve, leafid, evaluate, network, leaves = sys.argv[1:6]


def post(url, body, headers=None, path="/api/identify?pictures=no", method="POST", kept=None):
    connection = kept or http.client.HTTPConnection(*url.split("/")[2].split(":"), timeout=30)
    connection.request(method, path, body, headers or {})
    response = connection.getresponse()
    return response.status, dict(response.getheaders()), json.loads(response.read())


def connect(url, data=b""):
    connection = socket.create_connection(url.split("/")[2].split(":"), timeout=10)
    connection.sendall(data)
    return connection


def raw(url, data):
    """Sends data, then reads until the server closes: (status, seconds, answers received)."""
    start = time.time()
    with connect(url, data) as connection:
        received = b""
        while chunk := connection.recv(65536):
            received += chunk
    status = int(received.split(b" ")[1]) if received.startswith(b"HTTP/1.1 ") else None
    return status, time.time() - start, received.count(b"HTTP/1.1 ")


def png_size(data_url):
    png = base64.b64decode(data_url.removeprefix("data:image/png;base64,"), validate=True)
    assert png.startswith(b"\x89PNG\r\n\x1a\n"), "a picture that is no PNG"
    return list(struct.unpack(">II", png[16:24]))


# A form whose photo comes after 1.2 MB of notes: the photo field is chosen, across the chunks.
multipart = ("--b\r\nContent-Disposition: form-data; name=\"notes\"\r\n\r\n" + "n" * 1200000 +
             "\r\n--b\r\nContent-Disposition: form-data; name=\"photo\"; filename=\"x.jpg\"\r\n\r\n")
POST = b"POST /api/identify HTTP/1.1\r\n"
FORM = b"Content-Type: multipart/form-data; boundary=b\r\n"
GB = b"Content-Length: 1000000000\r\n"
smuggled = b"hello" + b"GET /api/health HTTP/1.1\r\n\r\n"
refusals = [  # name, request, status
    ("no photo", POST + b"Content-Length: 0\r\n\r\n", 400),
    ("broken form", POST + FORM + b"Content-Length: 9\r\n\r\n--b\r\njunk", 400),
    ("no request line", b"NONSENSE\r\n\r\n", 400),
    ("no length", POST + b"Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n", 411),
    ("compressed", POST + b"Content-Encoding: gzip\r\nContent-Length: 5\r\n\r\nhello", 415),
    ("1 GB, body never sent", POST + GB + b"\r\n", 413),
    ("1 GB, waiting to continue", POST + GB + b"Expect: 100-continue\r\n\r\n", 413),
    ("other method", b"PUT /api/identify HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello", 405),
    ("other path", b"POST /upload HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello", 404),
    ("two lengths", POST + b"Content-Length: 5\r\nContent-Length: 33\r\n\r\n" + smuggled, 400),
    ("a list of lengths", POST + b"Content-Length: 5, 33\r\n\r\n" + smuggled, 400),
    ("a line over 64 KiB", b"GET /" + b"a" * 65536 + b" HTTP/1.1\r\n\r\n", 414),
    ("headers over 64 KiB", b"GET / HTTP/1.1\r\n" + b"X: abcdefgh\r\n" * 6000 + b"\r\n", 431),
]
# Paths as a client may send them: every request gets its one log line, control bytes escaped.
logged_paths = [("/%0Anext%20line", "/\\x0Anext line"), ("/%1B[31m%0D", "/\\x1B[31m\\x0D"),
                ("/back\\slash%7F", "/back\\x5Cslash\\x7F"), ("/%E2%9C%93", "/\u2713")]

with tempfile.TemporaryDirectory() as work:
    # One worker and room for five photos, under a 1 GiB address-space cap; the crowd of silent
    # and trickling connections (a byte every 0.2 s) is LEAFID_CROWD=3000,1000 for the figures.
    silent, trickling = map(int, os.environ.get("LEAFID_CROWD", "300,100").split(","))
    cap = lambda: os.environ.get("LEAFID_SANITIZED") == "1" or \
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
    with started_server(serve, network, work, "--threads", "1", "--queue", "4",
                        preexec=cap) as (url, server, log):
        for name, request, status in refusals:
            answer, seconds, answers = raw(url, request)
            assert answer == status, f"{name}: {answer} instead of {status}"
            assert seconds < 2, f"{name}: the refusal took {seconds:.1f} s"
            assert answers == 1, f"{name}: {answers} answers on a connection that must close"
        asked = b"".join(b"GET %s HTTP/1.1\r\n\r\n" % path.encode() for path, _ in logged_paths)
        assert raw(url, asked + b"GET / HTTP/1.1\r\nConnection: close\r\n\r\n")[2] == 5
        open(os.path.join(work, "photo"), "wb").write(b"hello")
        status, _, answer = post(url, b"hello")
        expected = dialogue_line(leafid, network, os.path.join(work, "photo"))
        assert status == 415 and answer["error"] and answer["answer"] == expected, answer

        # Crowds take no thread: a normal request is answered within a second.
        crowd = [connect(url, b"GET / HTTP/1.1\r\nX-Slow: " if n >= silent else b"")
                 for n in range(silent + trickling)]
        calm = threading.Event()
        def trickle():
            while not calm.wait(0.2):
                for connection in crowd[silent:]:
                    with contextlib.suppress(OSError):  # cut at the head's 30 s
                        connection.send(b"a")
        threading.Thread(target=trickle, daemon=True).start()
        for name, request, status in [("health", b"GET /api/health HTTP/1.1\r\n\r\n", 200),
                                      ("photo", POST + b"Content-Length: 5\r\n\r\nhello", 415)]:
            start = time.time()
            with connect(url, request[:-1]) as connection:  # the end comes in two pieces
                time.sleep(0.05)
                connection.sendall(request[-1:])
                answer = connection.recv(100)
            assert answer.startswith(b"HTTP/1.1 %d" % status), f"{name} in the crowd: {answer}"
            assert time.time() - start < 1, f"{name} waited {time.time() - start:.1f} s"
        crowd[0].settimeout(7)
        assert crowd[0].recv(1) == b"", "a silent connection was not let go after 5 s"
        # Photos under way hold their places: four of 64 MiB fill the 256 MiB bound, five small
        # ones the five places; each time the next is refused, and when they go it is not.
        for length, count in [(64 << 20, 4), (1000, 5)]:
            head = POST + b"Content-Length: %d\r\nExpect: 100-continue\r\n\r\n" % length
            held = [connect(url, head) for _ in range(count)]
            assert all(h.recv(100) == b"HTTP/1.1 100 Continue\r\n\r\n" for h in held)
            status, headers, _ = post(url, b"hello")
            assert status == 503 and headers.get("Retry-After") == "1", f"busy: {status}"
            if count == 4:
                [connection.close() for connection in held]
                time.sleep(0.3)
                assert post(url, b"hello")[0] == 415, "photos that went away hold their place"
        rss = lambda: int(re.search(r"VmRSS:\s+(\d+)", open(f"/proc/{server.pid}/status").read())[1])
        before = rss()
        try:
            connect(url, b"GET /" + b"a" * (32 << 20))
        except OSError:
            pass  # the server hung up: it will not read more than a request's head
        assert rss() - before < 16 * 1024, f"a 32 MB request line took {rss() - before} kB"
        # The port is this server's: a second one says so in one line.
        second = subprocess.run([serve, "--listen", url.split("/")[2], "--network", network],
                                capture_output=True, text=True, timeout=30)
        assert second.returncode == 1 and second.stderr.splitlines() == \
            [f"leafid-serve: cannot listen on {url.split('/')[2]}"], second.stderr
        # A stop lets the photos under way finish, a trickled one only for its grace, within 5 s.
        crowd.append(held.pop())
        start = time.time()
        server.send_signal(signal.SIGTERM)
        time.sleep(0.3)
        for connection in held:
            connection.sendall(b"." * 1000)
            assert connection.recv(100).startswith(b"HTTP/1.1 415"), "a photo under way unanswered"
        assert server.wait(timeout=40) == 0 and time.time() - start < 5, \
            f"a stop under a trickling crowd took {time.time() - start:.1f} s"
        calm.set()
        lines = open(log).read().splitlines()
        stamp = r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ 127\.0\.0\.1 "
        posted = sum(request.startswith(POST) for _, request, _ in refusals) + 14
        for method, shown, count in [("GET", shown, 1) for _, shown in logged_paths] + \
                [("POST", "/api/identify", posted)]:
            found = [l for l in lines if re.fullmatch(f"{stamp}{method} {re.escape(shown)} " +
                                                      r"\d{3} \d+ \d+ms", l)]
            assert len(found) == count, f"{shown} logged as {found}"
        assert all(l.startswith(("leafid-serve: ", "20")) for l in lines), "a log line broken"

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
    os.makedirs(os.path.join(work, "plain"))
    for photo in photos:
        os.symlink(photo, os.path.join(work, "plain", os.path.basename(photo)))
    subprocess.run([evaluate, "--network", network, "--unlabelled", "--json",
                    os.path.join(work, "lines"), os.path.join(work, "plain")], check=True)
    evaluated = {os.path.basename(line["path"]): line for line in
                 map(json.loads, open(os.path.join(work, "lines")))}
    with started_server(serve, network, work) as (url, server, log):
        health = post(url, None, path="/api/health", method="GET")[2]
        assert health["status"] == "ok" and health["outputs"] in (5, 6), health
        kept = http.client.HTTPConnection(*url.split("/")[2].split(":"), timeout=30)
        for photo in photos:  # one after the other on one kept-alive connection
            body = open(photo, "rb").read()
            status, _, answer = post(url, body, {"Content-Type": "image/jpeg"}, kept=kept)
            expected = dialogue_line(leafid, network, photo)
            assert answer["answer"] == expected, f"{photo}: {answer['answer']!r}, not {expected!r}"
            assert status == (415 if "isn't a readable image" in expected else 200), photo
            assert (answer["species"] is None) == (not expected.startswith("tree = ")), photo
            line = evaluated[os.path.basename(photo)]
            del line["path"], line["class"]
            assert {k: v for k, v in answer.items() if k != "error"} == line, \
                f"{photo}: the API and leafid-eval --json differ"
            if answer["verdict"] == "measured":  # pictures by default, as measured: 128 wide
                shown = post(url, body, path="/api/identify")[2]
                size = [shown["working_size"]["width"], shown["working_size"]["height"]]
                assert size[0] == 128 and all(png_size(shown["pictures"][name]) == size for name
                                              in ["measured", "silhouette", "outline"]), photo
                assert set(shown["geometry"]) == {"perimeter", "area", "diameter", "width"}
            form_body = multipart.encode() + body + b"\r\n--b--\r\n"
            form = post(url, form_body, {"Content-Type": "multipart/form-data; boundary=b"})
            if photo == photos[0]:  # a request sent right behind a photo is answered after it
                request = POST + FORM + b"Content-Length: %d\r\n\r\n" % len(form_body) + form_body
                assert raw(url, request + b"GET / HTTP/1.1\r\nConnection: close\r\n\r\n")[2] == 2
            assert form[2] == answer, f"{photo}: sent as a form, it is answered otherwise"
        # An answered photo no longer counts in flight, though its connection stays open.
        assert post(url, None, path="/api/health", method="GET")[2]["photos_in_progress"] == 0
print("API answered", len(photos), "shared photos as leafid does; every refusal as it should")
