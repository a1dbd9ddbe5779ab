"""The exceptions of the vantrel package.

Both backends raise the same ones: an operation that fails in the library
is a ServiceFault carrying the library's reason text unchanged; the host adds
AuthError (not authenticated, or refused) and LimitError (over one of its
limits); a request that does not fit its operation is a RequestError.
"""


class VantrelError(Exception):
    """Base of every error the package raises."""


class ServiceFault(VantrelError):
    """A service fault: the operation failed in the library.

    error_type is the kind of the first error ("ApplicationException"),
    message its message, reason the fault's reason text (str(fault)).
    """

    def __init__(self, reason, error_type="", message=""):
        super().__init__(reason)
        self.reason = reason
        self.error_type = error_type
        self.message = message


class AuthError(VantrelError):
    """The host did not authenticate the caller (401) or refused the call (403)."""

    def __init__(self, text, status=401):
        super().__init__(text)
        self.status = status


class LimitError(VantrelError):
    """The host refused a call over one of its limits (413, 429, 408)."""

    def __init__(self, text, status=413):
        super().__init__(text)
        self.status = status


class RequestError(VantrelError, ValueError):
    """A request that does not fit its operation (400), or an unknown one (404)."""

    def __init__(self, text, status=400):
        super().__init__(text)
        self.status = status


class UnavailableError(VantrelError):
    """The host is stopping or the database is shut down (503); try again later."""


class NotFoundError(VantrelError, KeyError):
    """Names that resolve to no record or field; names lists them all."""

    def __init__(self, names):
        self.names = list(names)
        super().__init__("not found: " + ", ".join(self.names))

    def __str__(self):
        return self.args[0]
