"""The `quorlin` command."""

import sys


def main(argv=None) -> int:
    print("quorlin: the command is not built yet", file=sys.stderr)
    return 3


if __name__ == "__main__":
    sys.exit(main())
