import sys
from pathlib import Path

# The fake-machine harness sits beside the tests.
sys.path.insert(0, str(Path(__file__).parent))
