"""A module that cannot be imported."""

def process(:
