"""The publishing tool, one module per concern; tools/publish.py is its command line."""
