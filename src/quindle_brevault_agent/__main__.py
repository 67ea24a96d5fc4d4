"""``python -m quindle_brevault_agent`` and the ``quindle-brevault-agent`` command."""

from . import replay


def main() -> None:
    raise SystemExit(replay.main())


if __name__ == "__main__":
    main()
