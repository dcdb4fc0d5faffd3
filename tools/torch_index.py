"""Chooses the package index `make` installs torch from.

Prints the pip options that select the index given on the command line when it serves torch's page
within the time limit, and nothing otherwise, so that pip falls back on its own configuration. What
was chosen, and why, goes to standard error.
"""

import argparse
import http.client
import sys
import threading
import urllib.request


def answers(url: str, timeout: float) -> bool:
    """Whether a GET of `url` succeeds within `timeout` seconds, name lookup included."""
    ok = []

    def probe() -> None:
        try:
            with urllib.request.urlopen(url, timeout=timeout) as response:
                ok.append(response.status == 200)
        except (OSError, ValueError, http.client.HTTPException):
            ok.append(False)

    # urlopen's timeout covers the connection and each read but not the name lookup, which can hang
    # for much longer on a machine without a resolver: the thread is abandoned once time is up.
    thread = threading.Thread(target=probe, daemon=True)
    thread.start()
    thread.join(timeout)
    return ok == [True]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("index", help="a PEP 503 package index URL; empty for pip's own configuration")
    parser.add_argument("--timeout", type=float, default=3.0, help="seconds to wait for the index")
    args = parser.parse_args()
    index = args.index.rstrip("/")
    if not index:
        print("torch: from pip's own configuration (no index given)", file=sys.stderr)
    elif answers(f"{index}/torch/", args.timeout):
        print(f"torch: from {index}", file=sys.stderr)
        print(f"--index-url {index}")
    else:
        print(f"torch: {index} did not serve torch's page (waited {args.timeout:g} s at most); "
              "from pip's own configuration instead", file=sys.stderr)


if __name__ == "__main__":
    main()
