"""``python -m quindle_brevault_agent`` and the ``quindle-brevault-agent`` command."""

from .cli import main as _main


def main() -> None:
    raise SystemExit(_main())


if __name__ == "__main__":
    main()
