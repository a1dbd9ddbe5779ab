"""vantrel: the Vantrel tag access services from Python.

    import vantrel
    client = vantrel.connect("/var/lib/plant.db", user="VNT\\\\operator")   # in process
    client = vantrel.connect("https://plant:8443", user="operator", password=..., cafile="ca.pem")
    frame = client.history(["TI101.VALUE", "PI201.VALUE"], "2024-03-06", "2024-03-07", wide=True)

Both ways give a Client with the same methods and the same exceptions.
"""

from .client import Client
from .errors import (AuthError, LimitError, NotFoundError, RequestError, ServiceFault, UnavailableError,
                     VantrelError)
from .history import OUTSIDERS, HistoryArrays
from .names import TagName, parse_name

__all__ = ["connect", "import_database", "Client", "HistoryArrays", "TagName", "parse_name", "OUTSIDERS",
           "VantrelError", "ServiceFault", "AuthError", "LimitError", "RequestError", "NotFoundError",
           "UnavailableError"]


def connect(path_or_url, user=None, password=None, token=None, cafile=None, timeout=60.0):
    """A Client on a database folder (in process) or a host's https:// URL.

    In process, user is the caller account the calls run as ("VNT\\\\operator";
    None: the process's own account); password and token do not apply. Through
    the host, user and password (or a token) log in, and cafile names the
    certificate authority of a private host certificate.
    """
    from . import backends
    target = str(path_or_url)
    if target.startswith(("https://", "http://")):
        return Client(backends.Host(target, user=user, password=password, token=token, cafile=cafile,
                                    timeout=timeout))
    if password is not None or token is not None:
        raise ValueError("a password or token is for a host (https://...); in process the account is user=")
    return Client(backends.InProcess(target, account=user))


def import_database(json_path, store_path):
    """Imports a JSON database file (examples/plant.json) into a new store folder."""
    from . import _vantrel
    _vantrel.import_database(str(json_path), str(store_path))
