import sys

from orvaklab.cli import main

sys.exit(main())
