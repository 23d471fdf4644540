"""The host's refusals, each with the HTTP status it is answered with."""


class HostError(Exception):
    status = 400


class BadInput(HostError, ValueError):
    status = 400


class Unauthorized(HostError):
    status = 401


class Forbidden(HostError):
    status = 403


class NotFound(HostError):
    status = 404


class Conflict(HostError):
    status = 409


class TooLarge(HostError):
    status = 413


class Unavailable(HostError):
    """The storage failed (a full disk, a broken database file): nothing was acknowledged."""

    status = 503
