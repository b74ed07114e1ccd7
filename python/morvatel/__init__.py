"""Deterministic decision kernel with verifiable evidence.

The implementation lives in the extension module ``morvatel._core``.
"""
