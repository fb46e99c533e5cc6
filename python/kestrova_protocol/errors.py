"""The one exception a party's step raises for anything the user can fix."""


class PartyError(Exception):
    """A failure that the command line reports as one line, with exit status 1."""
