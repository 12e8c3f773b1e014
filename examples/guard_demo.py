"""Loads the engine module and prints its version."""
import _korvanthel_core

print("_korvanthel_core", _korvanthel_core.__version__)
