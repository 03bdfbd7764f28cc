"""Attribute use of followed objects: ``id(obj)`` -> names loaded from it."""

used_attributes = {}
