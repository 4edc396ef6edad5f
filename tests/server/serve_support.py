"""Starting leafid-serve for a test, and leafid's own answer to compare with."""
import contextlib
import os
import re
import signal
import subprocess
import time


@contextlib.contextmanager
def started_server(serve, network, work, *options, preexec=None):
    """Yields (url, process, log file) of a server on a free port; at the end, SIGTERM: status 0."""
    log = os.path.join(work, "serve.log")
    process = subprocess.Popen([serve, "--listen", "127.0.0.1:0", "--network", network, *options],
                               cwd=work, stdout=subprocess.DEVNULL, stderr=open(log, "w"),
                               preexec_fn=preexec)
    try:
        for _ in range(100):
            found = re.search(r"listening on (http://\S+/)", open(log).read())
            if found or process.poll() is not None:
                break
            time.sleep(0.1)
        assert found, "the server did not start: " + open(log).read()
        yield found.group(1), process, log
    finally:
        process.send_signal(signal.SIGTERM)
        code = process.wait(timeout=30)
    assert code == 0, f"the server ended with {code}"


def dialogue_line(leafid, network, photo):
    """The answer line leafid prints for photo with network: the line after the report."""
    work = os.path.dirname(network)
    output = subprocess.run([leafid], input=photo + " end", cwd=work, capture_output=True,
                            text=True, env={**os.environ, "DISPLAY": ""}, timeout=60).stdout
    lines = [line.removeprefix("Enter image path: ") for line in output.splitlines()]
    lines = [line for line in lines if line.startswith(("tree = ", "Sorry, but"))]
    assert len(lines) == 1, f"leafid's answer to {photo} is not one line: {output!r}"
    return lines[0]
