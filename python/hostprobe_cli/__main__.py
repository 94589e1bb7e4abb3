import sys

from hostprobe_cli import main

sys.exit(main())
