"""morrowfen: a web framework's wire layer and message types, compiled."""

__version__ = "0.1.0"
