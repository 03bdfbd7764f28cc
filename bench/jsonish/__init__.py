"""A small pure-Python JSON-like encoder and decoder, written for the
benchmarks: a library whose functions take and return ordinary values
(dicts, lists, strings, dates, enum members, decimals, its own context
objects and bound methods) the way real serializer libraries do."""

from .decoder import DecodeContext, decode
from .encoder import EncodeContext, Registry, encode

__all__ = ["decode", "encode", "DecodeContext", "EncodeContext", "Registry"]
