"""tarvex: pick a small subset of rows that is at once useful and spread out (GIST)."""

__version__ = "0.1.0"
