"""Packaging: where the set-up installs torch from, and the long description a package index shows."""

import http.server
import re
import socket
import subprocess
import sys
import threading
import tomllib
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
PROBE = ROOT / "tools" / "torch_index.py"


def choose_index(index, timeout=0.5):
    """The pip options the probe prints for `index`, and what it says it chose."""
    # The bound only keeps a hung probe from hanging the suite; a working one takes about `timeout`.
    run = subprocess.run([sys.executable, PROBE, index, "--timeout", str(timeout)],
                         capture_output=True, text=True, check=True, timeout=60)
    return run.stdout.split(), run.stderr


class Index(http.server.BaseHTTPRequestHandler):
    """A package index on the loopback interface that serves only torch's page."""

    def do_GET(self):
        self.send_response(200 if self.path == "/simple/torch/" else 404)
        self.end_headers()
        self.wfile.write(b"<a href='torch-2.13.0-cp311-cp311-linux_x86_64.whl'>torch</a>")

    def log_message(self, *args):
        pass


@pytest.fixture
def index_url():
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Index)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield f"http://127.0.0.1:{server.server_port}"
    server.shutdown()
    server.server_close()


@pytest.fixture
def closed_port():
    """A loopback port nothing listens on: a connection is refused at once."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture
def silent_port():
    """A loopback port that accepts connections and never answers."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        s.listen(8)
        yield s.getsockname()[1]


@pytest.mark.parametrize("suffix", ["/simple", "/simple/"])
def test_an_index_that_serves_torch_is_chosen(index_url, suffix):
    options, said = choose_index(index_url + suffix)
    assert options == ["--index-url", index_url + "/simple"]
    assert said == f"torch: from {index_url}/simple\n"


@pytest.mark.parametrize("where", ["missing page", "closed port", "silent port", "unknown scheme"])
def test_an_index_that_cannot_serve_torch_leaves_pip_configuration(where, request):
    url = {
        "missing page": lambda: request.getfixturevalue("index_url") + "/other",
        "closed port": lambda: f"http://127.0.0.1:{request.getfixturevalue('closed_port')}/simple",
        "silent port": lambda: f"http://127.0.0.1:{request.getfixturevalue('silent_port')}/simple",
        "unknown scheme": lambda: "nowhere://index",
    }[where]()
    options, said = choose_index(url)
    assert options == []
    assert said == (f"torch: {url} did not serve torch's page (waited 0.5 s at most); "
                    "from pip's own configuration instead\n")


def test_an_empty_index_leaves_pip_configuration():
    assert choose_index("") == ([], "torch: from pip's own configuration (no index given)\n")


def test_long_description_names_every_image_file(monkeypatch):
    builder = pytest.importorskip("hatch_fancy_pypi_readme._builder")
    config = pytest.importorskip("hatch_fancy_pypi_readme._config")
    with open(ROOT / "pyproject.toml", "rb") as f:
        hook = tomllib.load(f)["tool"]["hatch"]["metadata"]["hooks"]["fancy-pypi-readme"]
    monkeypatch.chdir(ROOT)
    loaded = config.load_and_validate_config(hook)
    text = builder.build_text(loaded.fragments, loaded.substitutions)
    readme = (ROOT / "README.md").read_text()
    readme_images = re.findall(r"!\[[^\]]*\]\((?![a-z]+://)([^)]+)\)", readme)
    assert readme_images, "the README shows no image: this test checks nothing"
    # A package index resolves no path inside the repository: no image may point into it.
    assert not re.search(r"!\[[^\]]*\]\((?![a-z]+://)", text)
    assert not re.search(r"<img\b", text, re.IGNORECASE)
    for path in readme_images:
        assert f"It is the file `{path}` in the source distribution." in text
        assert (ROOT / path).is_file()
