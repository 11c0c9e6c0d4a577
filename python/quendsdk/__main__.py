"""`python -m quendsdk`: see quendsdk.cli."""

from quendsdk.cli import main

raise SystemExit(main())
