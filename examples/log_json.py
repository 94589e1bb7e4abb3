"""Logs one hostprobe snapshot per second to standard output, one JSON object a line.

    python3 examples/log_json.py --count 3
    python3 examples/log_json.py | jq .cpu_temp_celsius

NaN (the CPU shares when /proc/stat cannot be read) is written as null, so
every line is valid JSON.
"""

import argparse
import json
import math
import sys
import time
from collections.abc import Mapping

import hostprobe


def json_line(snapshot: Mapping[str, object]) -> str:
    plain = {key: None if isinstance(value, float) and math.isnan(value) else value for key, value in snapshot.items()}
    return json.dumps(plain, allow_nan=False)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--interval-ms", type=int, default=1000, help="interval passed to get_metrics_once (default: 1000)")
    parser.add_argument("--count", type=int, help="number of lines to write (default: until interrupted)")
    arguments = parser.parse_args()

    next_line = time.monotonic()
    written = 0
    try:
        while arguments.count is None or written < arguments.count:
            if written:
                next_line += 1.0
                time.sleep(max(0.0, next_line - time.monotonic()))
            print(json_line(hostprobe.get_metrics_once(arguments.interval_ms)), flush=True)
            written += 1
    except KeyboardInterrupt:
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())
