"""cquorlin: look into activation stores, merge shards into one, compact a store.

    cquorlin info STORE                        what the store is and holds
    cquorlin layers STORE [--plot OUT.png]     one row per layer; degenerate layers marked
    cquorlin neuron STORE LAYER N [-k 10]      the stored inputs with neuron N's highest values
    cquorlin merge TARGET SOURCE...            every entry of the sources added to the target
    cquorlin compact STORE                     the store rewritten without unused space

Exit status: 0 on success, 1 when the operation fails, 2 for a wrong command line or a file that
is missing or is no store.
"""

import argparse
import os
import sys
import time
from typing import Callable, Optional, Sequence

import cquorlin


class BadFile(Exception):
    """A file named on the command line that is missing or is no store."""


def open_store(path: str, mode: str = "r") -> cquorlin.DB:
    """The store at `path`, checked read-only first, so that no other file is ever written to."""
    if not os.path.exists(path):
        raise BadFile(f"{path}: no such file")
    if os.path.isdir(path):
        raise BadFile(f"{path}: is a directory")
    try:
        db = cquorlin.DB(path, "r")
    except OSError as e:  # not an HDF5 file, or not readable
        raise BadFile(f"{path}: cannot be opened as a store ({one_line(e)})") from e
    except Exception as e:
        if type(e) is Exception and str(e) == "Invalid file.":
            raise BadFile(f"{path}: an HDF5 file, but no cquorlin store") from e
        raise
    if mode == "r":
        return db
    db.close()
    return cquorlin.DB(path, mode)


def one_line(e: BaseException) -> str:
    """An exception's message on one line (a KeyError's without the quotes repr adds)."""
    text = e.args[0] if isinstance(e, KeyError) and e.args else str(e)
    return " ".join(str(text).split()) or type(e).__name__


def size_of(path: str) -> str:
    n = os.path.getsize(path)
    return f"{n / 2 ** 20:.1f} MiB" if n >= 2 ** 20 else f"{n / 2 ** 10:.1f} KiB"


def info(args: argparse.Namespace) -> None:
    with open_store(args.store) as db:
        report = db.layers()
        print(f"store         {db.path} ({size_of(db.path)})")
        print(f"version       {db.file.attrs.get('version')}")
        print(f"preprocessor  {db.preprocessor}")
        print(f"layers        {len(report)} ({sum(layer.degenerate for layer in report)} degenerate)")
        print(f"tables        {sum(layer.tables for layer in report):,}")
        print(f"entries       {sum(layer.entries for layer in report):,}")
        print(f"inputs        {max((layer.inputs for layer in report), default=0):,} (the most in one layer)")


def layers(args: argparse.Namespace) -> None:
    with open_store(args.store) as db:
        print(db.layers(args.threshold))
        if args.plot:
            db.plot_layers(args.plot, args.threshold)
            print(f"plot written to {args.plot}")


def neuron(args: argparse.Namespace) -> None:
    with open_store(args.store) as db:
        idxs, vals = db.neuron(args.layer, args.neuron, k=args.k, largest=not args.smallest)
    print(f"{'index':>20s}  value")
    for i, v in zip(idxs.tolist(), vals.tolist()):
        print(f"{i:>20d}  {v:g}")


def progress_bar(label: str, width: int = 30) -> Callable[[int, int], None]:
    """A progress bar on stderr, redrawn when its percentage changes."""
    shown = [-1]
    start = time.monotonic()

    def show(done: int, total: int) -> None:
        percent = 100 * done // max(total, 1)
        if percent == shown[0]:
            return
        shown[0] = percent
        filled = width * done // max(total, 1)
        end = "\n" if done >= total else ""
        sys.stderr.write(f"\r{label} [{'#' * filled}{'.' * (width - filled)}] {done:,}/{total:,} tables "
                         f"{time.monotonic() - start:.1f} s{end}")
        sys.stderr.flush()

    return show


def merge(args: argparse.Namespace) -> None:
    for path in args.sources:
        open_store(path).close()
    if os.path.exists(args.target):
        open_store(args.target).close()
    cquorlin.merge(args.target, args.sources, progress=progress_bar("merging"))
    with open_store(args.target) as db:
        print(f"merged {len(args.sources)} stores into {args.target}: {sum(db.entries().values()):,} entries, "
              f"{size_of(args.target)}")


def compact(args: argparse.Namespace) -> None:
    with open_store(args.store, "r+") as db:
        before = size_of(args.store)
        db.compact()
    print(f"compacted {args.store}: {before} -> {size_of(args.store)}")


def parser() -> argparse.ArgumentParser:
    summary, details = __doc__.split("\n\n", 1)
    p = argparse.ArgumentParser(prog="cquorlin", description=summary, epilog=details,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = p.add_subparsers(dest="command", required=True, metavar="COMMAND")

    store_help = "a store file (an HDF5 file made by cquorlin.DB)"
    c = commands.add_parser("info", help="what the store is and holds")
    c.add_argument("store", metavar="STORE", help=store_help)
    c.set_defaults(run=info)

    c = commands.add_parser("layers", help="one row per layer: tables, entries, inputs, degenerate or not")
    c.add_argument("store", metavar="STORE", help=store_help)
    c.add_argument("--plot", metavar="OUT.png", help="also draw how each layer's entries spread over its neurons")
    c.add_argument("--threshold", type=float, default=0.9,
                   help="a layer is degenerate when one neuron's table holds this share of its inputs (default 0.9)")
    c.set_defaults(run=layers)

    c = commands.add_parser("neuron", help="the stored inputs with a neuron's highest values")
    c.add_argument("store", metavar="STORE", help=store_help)
    c.add_argument("layer", metavar="LAYER", help="a layer's name, as `cquorlin layers` lists it")
    c.add_argument("neuron", metavar="N", type=int, help="the neuron's number in the layer")
    c.add_argument("-k", type=int, default=10, help="how many inputs (default 10)")
    c.add_argument("--smallest", action="store_true", help="the lowest values instead")
    c.set_defaults(run=neuron)

    c = commands.add_parser("merge", help="add every entry of the sources to the target (created if absent)")
    c.add_argument("target", metavar="TARGET", help="the store merged into (created if absent)")
    c.add_argument("sources", metavar="SOURCE", nargs="+", help="the stores merged (read only)")
    c.set_defaults(run=merge)

    c = commands.add_parser("compact", help="rewrite the store without unused space")
    c.add_argument("store", metavar="STORE", help=store_help)
    c.set_defaults(run=compact)
    return p


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = parser().parse_args(argv)
    try:
        args.run(args)
    except BadFile as e:
        print(f"cquorlin: {e}", file=sys.stderr)
        return 2
    except BrokenPipeError:  # the reader left (`cquorlin layers s.h5 | head`): nothing more to say
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:
        print("cquorlin: interrupted", file=sys.stderr)
        return 130
    except Exception as e:
        print(f"cquorlin: {args.command}: {one_line(e)}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
