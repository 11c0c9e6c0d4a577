"""`python -m quendsdk`: see quendsdk.cli.main."""

from quendsdk.cli.main import main

raise SystemExit(main())
