"""Packaging: where the set-up installs torch from, the long description a package index shows, what the
built module needs of the system it runs on (as the manylinux_2_28 wheel promises), and what a build from
source says where it cannot build."""

import http.server
import os
import re
import socket
import struct
import subprocess
import sys
import threading
import tomllib
from pathlib import Path

import pytest

import cquorlin

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


SHT_DYNSYM, SHT_DYNAMIC, SHT_GNU_VERNEED = 11, 6, 0x6FFFFFFE
DT_NEEDED = 1


def elf_needs(path):
    """What an x86-64 shared object needs and offers: the libraries it names, the symbol versions it needs
    (as {library: {version}}) and the symbols it exports."""
    data = Path(path).read_bytes()
    assert data[:6] == b"\x7fELF\x02\x01", "not a 64-bit little-endian ELF file"
    shoff, = struct.unpack_from("<Q", data, 0x28)
    shentsize, shnum = struct.unpack_from("<HH", data, 0x3A)
    # (type, offset, size, link, info) of each section
    sections = [struct.unpack_from("<4xI16xQQII", data, shoff + i * shentsize) for i in range(shnum)]

    def string(table, at):
        start = sections[table][1] + at
        return data[start:data.index(b"\0", start)].decode()

    needed, versions, exports = [], {}, set()
    for kind, offset, size, link, info in sections:
        if kind == SHT_DYNAMIC:
            for tag, value in struct.iter_unpack("<qQ", data[offset:offset + size]):
                if tag == DT_NEEDED:
                    needed.append(string(link, value))
        elif kind == SHT_GNU_VERNEED:
            entry = offset
            for _ in range(info):
                _, count, file, aux, following = struct.unpack_from("<HHIII", data, entry)
                wanted = versions.setdefault(string(link, file), set())
                at = entry + aux
                for _ in range(count):
                    _, _, _, name, later = struct.unpack_from("<IHHII", data, at)
                    wanted.add(string(link, name))
                    at += later
                entry += following
        elif kind == SHT_DYNSYM:
            for name, info_byte, other, section, _, _ in struct.iter_unpack("<IBBHQQ", data[offset:offset + size]):
                binding, visibility = info_byte >> 4, other & 3
                if section != 0 and binding in (1, 2, 10) and visibility in (0, 3):  # global, weak, unique
                    exports.add(string(link, name))
    return needed, versions, exports


@pytest.fixture(scope="module")
def module_needs():
    needed, versions, exports = elf_needs(cquorlin.__file__)
    if any(name.startswith("libasan") for name in needed):
        pytest.skip("a sanitizer build links the sanitizers' runtimes and the shared C++ library")
    return needed, versions, exports


def test_module_links_glibc_and_libgcc_alone(module_needs):
    needed, _, _ = module_needs
    # No C++ library of the system (the module carries its own), and never an HDF5 beside the one h5py loads.
    assert set(needed) <= {"libc.so.6", "libdl.so.2", "libgcc_s.so.1", "ld-linux-x86-64.so.2"}
    assert "libc.so.6" in needed


@pytest.mark.parametrize("family, newest", [
    ("GLIBC", (2, 28)),     # what manylinux_2_28 promises
    ("GCC", (7, 0, 0)),     # libgcc_s of GCC 8, manylinux_2_28's compiler
    ("GLIBCXX", None),      # the C++ library and its ABI are built in: no version of them is needed
    ("CXXABI", None),
])
def test_module_needs_no_symbol_version_past_manylinux_2_28(module_needs, family, newest):
    _, versions, _ = module_needs
    found = [v for wanted in versions.values() for v in wanted if v.split("_", 1)[0] == family]
    if family == "GLIBC":
        assert "GLIBC_2.2.5" in found, "the module needs no glibc: its versions were not read"

    def too_new(version):
        number = version.split("_", 1)[1]
        return newest is None or not re.fullmatch(r"[0-9.]+", number) or tuple(map(int, number.split("."))) > newest

    assert sorted(filter(too_new, found)) == []


def test_module_exports_its_entry_point_alone(module_needs):
    # The C++ library inside stays local, so it never binds to another extension's copy, nor theirs to it.
    _, _, exports = module_needs
    assert exports == {"PyInit_cquorlin"}


def test_a_build_without_a_cpp20_compiler_says_what_it_needs(tmp_path):
    pytest.importorskip("scikit_build_core")
    pytest.importorskip("hatch_fancy_pypi_readme")
    env = dict(os.environ, CXX=str(tmp_path / "no-compiler"))
    run = subprocess.run(
        [sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "--no-index",
         f"--config-settings=build-dir={tmp_path / 'build'}", "--wheel-dir", tmp_path, ROOT],
        env=env, capture_output=True, text=True, timeout=120)
    said = run.stdout + run.stderr
    assert run.returncode != 0
    assert "cquorlin needs a C++20 compiler to build, and no C++ compiler was found" in said
    assert "the wheels are for CPython 3.11 on Linux x86-64 with glibc 2.28 or newer (manylinux_2_28_x86_64)" in said
    assert len(said.splitlines()) < 50, said
