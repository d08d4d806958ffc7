"""Drivers of the chain's module kinds, one extension module each."""
