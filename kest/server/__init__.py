"""The reference host: `kest serve` runs worlds, stores their signed history and ticks their epochs.

Needs the `host` extra (`pip install "kest-engine-native[host]"`); nothing else in `kest` imports
this package, and the `kest` command loads it only for its server commands.
"""
