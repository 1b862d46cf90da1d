"""The one error that ends a controller's run on purpose."""


class CannotProgram(Exception):
    """A price or preset from the command line that the protocol's fields cannot carry (with the
    pump's decimals); the text says which."""
