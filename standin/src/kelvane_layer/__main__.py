"""``python -m kelvane_layer``: the command line (see kelvane_layer.cli)."""

from kelvane_layer.cli import main

raise SystemExit(main())
