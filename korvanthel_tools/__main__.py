"""``python -m korvanthel_tools`` runs the ``korvanthel`` command."""

import sys

from korvanthel_tools.commands.cli import main

sys.exit(main())
