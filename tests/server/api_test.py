"""leafid-serve's JSON API against the running server, over real sockets: shared photos get the
dialogue's answer (and leafid-eval --json's object) and pictures of the measured size; every
refusal has its status and closes; a 1 GB body and an endless request line are refused without
being read; photos past the memory bound get 503; idle and trickling crowds, a second server on
the port and an address-space cap leave a normal request answered within a second; one log
line per request; a stop signal lets the request under way finish, and ends within 5 s.
Usage: api_test.py SERVE LEAFID EVAL NETWORK LEAVES_DIR"""
import base64
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
import zlib

from serve_support import dialogue_line, started_server

serve, leafid, evaluate, network, leaves = sys.argv[1:6]


def post(url, body, headers=None, path="/api/identify?pictures=no", method="POST", kept=None):
    connection = kept or http.client.HTTPConnection(*url.split("/")[2].split(":"), timeout=30)
    connection.request(method, path, body, headers or {})
    response = connection.getresponse()
    return response.status, dict(response.getheaders()), json.loads(response.read())


def connect(url):
    return socket.create_connection(url.split("/")[2].split(":"), timeout=10)


def raw(url, data):
    """Sends data, then reads until the server closes: (status, seconds, answers received)."""
    start = time.time()
    with connect(url) as connection:
        connection.sendall(data)
        received = b""
        while chunk := connection.recv(65536):
            received += chunk
    status = int(received.split(b" ")[1]) if received.startswith(b"HTTP/1.1 ") else None
    return status, time.time() - start, received.count(b"HTTP/1.1 ")


def png_size(data_url):
    png = base64.b64decode(data_url.removeprefix("data:image/png;base64,"), validate=True)
    assert png.startswith(b"\x89PNG\r\n\x1a\n"), "a picture that is no PNG"
    return list(struct.unpack(">II", png[16:24]))


def png_chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


# A few hundred bytes that claim 100000 x 100000 grey pixels: 10 GB to decode.
bomb = (b"\x89PNG\r\n\x1a\n"
        + png_chunk(b"IHDR", struct.pack(">IIBBBBB", 100000, 100000, 8, 0, 0, 0, 0))
        + png_chunk(b"IDAT", zlib.compress(bytes(100001 * 4))) + png_chunk(b"IEND", b""))
# A form whose photo comes after 1.2 MB of notes: the photo field is chosen, across the chunks.
multipart = ("--b\r\nContent-Disposition: form-data; name=\"notes\"\r\n\r\n" + "n" * 1200000 +
             "\r\n--b\r\nContent-Disposition: form-data; name=\"photo\"; filename=\"x.jpg\"\r\n\r\n")
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
    ("two lengths", POST + b"Content-Length: 5\r\nContent-Length: 35\r\n\r\nhello"
                           b"GET /api/health HTTP/1.1\r\n\r\n", 400),
    ("a list of lengths", POST + b"Content-Length: 5, 35\r\n\r\nhello"
                                 b"GET /api/health HTTP/1.1\r\n\r\n", 400),
    ("a line over 64 KiB", b"GET /" + b"a" * 65536 + b" HTTP/1.1\r\n\r\n", 414),
    ("headers over 64 KiB", b"GET / HTTP/1.1\r\n" + b"X: abcdefgh\r\n" * 6000 + b"\r\n", 431),
]
# Paths as a client may send them: every request gets its one log line, control bytes escaped.
logged_paths = [("/%0Anext%20line", "/\\x0Anext line"), ("/%1B[31m%0D", "/\\x1B[31m\\x0D"),
                ("/back\\slash%7F", "/back\\x5Cslash\\x7F"), ("/api/health", "/api/health")]

with tempfile.TemporaryDirectory() as work:
    # One worker and no queue: a second photo while one is received is refused.
    one_place = ("--threads", "1", "--queue", "0")
    with started_server(serve, network, work, *one_place) as (url, server, log):
        for name, request, status in refusals:
            answer, seconds, answers = raw(url, request)
            assert answer == status, f"{name}: {answer} instead of {status}"
            assert seconds < 2, f"{name}: the refusal took {seconds:.1f} s"
            assert answers == 1, f"{name}: {answers} answers on a connection that must close"
        asked = b"".join(b"GET %s HTTP/1.1\r\n\r\n" % path.encode() for path, _ in logged_paths)
        assert raw(url, asked + b"GET / HTTP/1.1\r\nConnection: close\r\n\r\n")[2] == 5
        bomb_file = os.path.join(work, "bomb.png")
        open(bomb_file, "wb").write(bomb)
        for name, body in [("not a picture", b"hello"), ("decompression bomb", bomb)]:
            open(os.path.join(work, "photo"), "wb").write(body)
            status, _, answer = post(url, body)
            assert status == 415 and answer["error"], f"{name}: {status} {answer}"
            expected = dialogue_line(leafid, network, os.path.join(work, "photo"))
            assert answer["answer"] == expected, f"{name}: {answer['answer']!r}, not {expected!r}"

        # A photo under way holds the only place: the next is refused, the one after is not.
        held = connect(url)
        held.sendall(POST + b"Content-Length: 10\r\nExpect: 100-continue\r\n\r\n")
        assert held.recv(100) == b"HTTP/1.1 100 Continue\r\n\r\n", "no 100 Continue"
        held.sendall(b"hel")
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
        stamp = r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ 127\.0\.0\.1 "
        logged = stamp + r"POST /api/identify 415 \d+ \d+ms"
        assert any(re.fullmatch(logged, line) for line in lines), "no request line in the log"
        for path, shown in logged_paths:
            found = [l for l in lines if re.fullmatch(stamp + "GET " + re.escape(shown) + " .*", l)]
            assert len(found) == 1, f"{path} logged as {found}"
        assert all(l.startswith(("leafid-serve: ", "20")) for l in lines), "a log line broken"

    # Crowds take no thread: with silent and trickling connections open (a byte every 0.2 s; the
    # figures of docs/serve.md come from LEAFID_CROWD=3000,1000), a normal request is answered
    # within a second; so under a 1 GiB address-space cap with 8 threads.
    silent, trickling = map(int, os.environ.get("LEAFID_CROWD", "300,100").split(","))
    cap = lambda: resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
    with started_server(serve, network, work, "--threads", "8", preexec=cap) as (url, server, _):
        crowd = [connect(url) for _ in range(silent + trickling)]
        for connection in crowd[silent:]:
            connection.sendall(b"GET / HTTP/1.1\r\nX-Slow: ")
        calm = threading.Event()
        def trickle():
            while not calm.wait(0.2):
                for connection in crowd[silent:]:
                    try:
                        connection.send(b"a")
                    except OSError:
                        pass  # cut at the head's 30 s
        threading.Thread(target=trickle, daemon=True).start()
        for name, request, status in [("health", b"GET /api/health HTTP/1.1\r\n\r\n", 200),
                                      ("photo", POST + b"Content-Length: 5\r\n\r\nhello", 415)]:
            with connect(url) as connection:
                start = time.time()
                connection.sendall(request[:-1])  # the head's end comes in two pieces
                time.sleep(0.05)
                connection.sendall(request[-1:])
                answer = connection.recv(100)
            assert answer.startswith(b"HTTP/1.1 %d" % status), f"{name} in the crowd: {answer}"
            assert time.time() - start < 1, f"{name} waited {time.time() - start:.1f} s"
        crowd[0].settimeout(7)
        assert crowd[0].recv(1) == b"", "a silent connection was not let go after 5 s"
        # Four photos of 64 MiB under way fill the 256 MiB bound; when they go, so does the 503.
        under_way = [connect(url) for _ in range(4)]
        for connection in under_way:
            connection.sendall(POST + b"Content-Length: %d\r\n\r\n" % (64 << 20))
        time.sleep(0.3)
        status, headers, _ = post(url, b"hello")
        assert status == 503 and headers.get("Retry-After") == "1", f"past 256 MiB: {status}"
        for connection in under_way:
            connection.close()
        time.sleep(0.3)
        assert post(url, b"hello")[0] == 415, "photos that went away still hold their memory"
        # The port is this server's: a second one says so in one line.
        second = subprocess.run([serve, "--listen", url.split("/")[2], "--network", network],
                                capture_output=True, text=True, timeout=30)
        assert second.returncode == 1 and second.stderr.splitlines() == \
            [f"leafid-serve: cannot listen on {url.split('/')[2]}"], second.stderr
        # A photo trickled in is not waited for beyond the stop's grace.
        slow = connect(url)
        slow.sendall(POST + b"Content-Length: 1000\r\n\r\n")
        crowd.append(slow)  # the trickle goes on: a byte every 0.2 s
        time.sleep(0.3)
        start = time.time()
        server.send_signal(signal.SIGTERM)
        assert server.wait(timeout=40) == 0 and time.time() - start < 5, \
            f"a stop under a trickling crowd took {time.time() - start:.1f} s"
        calm.set()

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
                request = POST + b"Content-Type: multipart/form-data; boundary=b\r\n" \
                    b"Content-Length: %d\r\n\r\n" % len(form_body) + form_body
                assert raw(url, request + b"GET / HTTP/1.1\r\nConnection: close\r\n\r\n")[2] == 2
            assert form[2] == answer, f"{photo}: sent as a form, it is answered otherwise"
        # An answered photo no longer counts in flight, though its connection stays open.
        assert post(url, None, path="/api/health", method="GET")[2]["photos_in_progress"] == 0
print("API answered", len(photos), "shared photos as leafid does; every refusal as it should")
