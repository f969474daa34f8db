"""What a served sim's failures become in Python."""


class NorvaError(Exception):
    """Anything that went wrong between this client and a served sim."""


class ServerError(NorvaError):
    """The server refused or failed a call.

    `kind` is the protocol's error kind ("invalid", "not_found", "answered", "failed", "busy",
    "timed_out", "unauthenticated"); `status` the HTTP status, or `code` the gRPC status name.
    """

    def __init__(self, message, kind=None, status=None, code=None):
        super().__init__(message)
        self.message = message
        self.kind = kind
        self.status = status
        self.code = code


class Unreachable(NorvaError):
    """The server could not be reached, or went away, or gave no answer within the time limit."""


# The protocol's kinds by gRPC status, as docs/protocol.md gives them.
KIND_OF_GRPC_CODE = {
    "INVALID_ARGUMENT": "invalid",
    "UNAUTHENTICATED": "unauthenticated",
    "NOT_FOUND": "not_found",
    "UNKNOWN": "answered",
    "INTERNAL": "failed",
    "RESOURCE_EXHAUSTED": "busy",
    "DEADLINE_EXCEEDED": "timed_out",
}
