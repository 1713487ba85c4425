"""Send local files to a job server as one job.

    import qzws
    qzws.initialize_third_party_libs()
    with qzws.WS() as ws:
        ws.login(url, user, password).create_job("Upload", {"project": "north"})
        ws.queue_recursive_directory("/data/run1")
        stats = ws.upload_queued_files(progress=lambda s: print(s.total_bytes_transferred))

Names follow Python's conventions; each docstring gives the C++ name of the
same operation in qz::WS. Warnings (retries, skipped entries, files checked
by their size only) go to logging.getLogger("qzws").
"""

import enum
import errno
import os
from typing import Dict, Mapping, Optional

from . import _qzws
from ._qzws import FileStats, Stats, WS, __version__

__all__ = ["Error", "FileResult", "FileStats", "PathNotFoundError", "SettingError", "State", "Stats",
           "TransportError", "WS", "__version__", "initialize_third_party_libs", "library_info"]


class State(enum.IntEnum):
    """The client's place in the life of a job (C++ qz::WS::EState).

    str() and f-strings give the display text, such as "login done".
    """

    UNKNOWN = 0
    LOGIN_DONE = 1
    JOB_CREATED = 2
    FILE_QUEUE = 3
    UPLOADING = 4
    UPLOAD_DONE = 5
    LOG_DONE = 6
    FINALIZE_DONE = 7
    FINISHED = 8

    @property
    def text(self) -> str:
        """The display text (C++ qz::to_string)."""
        return _qzws.state_text(self.value)

    def __str__(self) -> str:
        return self.text

    def __format__(self, spec: str) -> str:
        return format(self.text, spec)


class FileResult(enum.IntEnum):
    """How far one file got (C++ qz::EFileResult); str() and f-strings give "pending" and so on."""

    PENDING = 0
    SENDING = 1
    DONE = 2
    FAILED = 3

    @property
    def text(self) -> str:
        """The display text (C++ qz::to_string)."""
        return _qzws.file_result_text(self.value)

    def __str__(self) -> str:
        return self.text

    def __format__(self, spec: str) -> str:
        return format(self.text, spec)


class Error(RuntimeError):
    """An error that the client or the transfer engine detected (C++ qz::Exception).

    str() is the library's message, byte for byte (bytes that are not UTF-8
    as surrogate escapes); `operation` names the operation that failed and
    `diagnostics` is the dict of the whole client's state at that moment.
    Every error of this package is one.
    """

    operation: str
    diagnostics: Dict[str, str]

    def __init__(self, message: str, operation: str = "", diagnostics: Optional[Mapping[str, str]] = None):
        super().__init__(message)
        self.operation = operation
        self.diagnostics = dict(diagnostics or {})

    def __str__(self) -> str:
        # The library's message, also where OSError would show its fields.
        return str(self.args[0]) if self.args else ""


class TransportError(Error, ConnectionError):
    """An error of the HTTP library (curlpp's RuntimeError or LogicError): the
    job server could not be reached or the request could not be made."""


class PathNotFoundError(Error, FileNotFoundError):
    """A path to queue that does not exist; `filename` is the path."""

    def __init__(self, message: str, operation: str = "", diagnostics: Optional[Mapping[str, str]] = None):
        super().__init__(message, operation, diagnostics)
        self.errno = errno.ENOENT
        self.strerror = os.strerror(errno.ENOENT)
        self.filename = self.diagnostics.get("path")


class SettingError(Error, ValueError):
    """A setting of WS.set_x with an unknown key or a value the client refused
    (C++ setX, which reports it in `message` only)."""


def initialize_third_party_libs() -> None:
    """Sets up libcurl and libxml2; call once per process before any request."""
    WS.initialize_third_party_libs()


def library_info() -> Dict[str, str]:
    """Versions of the library and of what it works with: a dict of nine rows."""
    return WS.library_info()
