"""python -m vesk --version: the version of the installed Vesk, the one vesk-run prints."""

import argparse

import vesk


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="python -m vesk",
        description="Vesk: keyed, stateful stream processing. Run handlers with vesk-run, "
                    "read state files with vesk-state, test handlers with vesk.testing.")
    parser.add_argument("--version", action="version", version=f"vesk {vesk.__version__}")
    parser.parse_args(argv)
    parser.print_help()


if __name__ == "__main__":
    main()
