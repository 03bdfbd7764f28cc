"""Exceptions of the collector."""


class ProblematicPickleException(Exception):
    """Raised when an object cannot be written without running its own pickling code."""
