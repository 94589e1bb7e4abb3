import sys

from hostprobe_exporter import main

sys.exit(main())
