"""The size of a zip file's central directory as its end records declare it, read the way
``zipfile`` will read them, so that a directory can be bounded before ``zipfile`` parses it
(which it does whole on opening)."""

from __future__ import annotations

import os
import struct
from typing import IO

__all__ = ["directory_size"]

# The zip end records, as zipfile reads them: the end of the central directory (at the file's
# end, or before a comment of at most 64 KiB), and the zip64 locator and record just before it.
END_RECORD = struct.Struct("<4s4H2LH")
END_SIGNATURE = b"PK\x05\x06"
MAX_COMMENT = 2**16
ZIP64_LOCATOR = struct.Struct("<4sLQL")
ZIP64_LOCATOR_SIGNATURE = b"PK\x06\x07"
ZIP64_RECORD = struct.Struct("<4sQ2H2L4Q")
ZIP64_RECORD_SIGNATURE = b"PK\x06\x06"


def directory_size(file: IO[bytes]) -> tuple[int, int] | None:
    """The entries and bytes of the zip directory as zipfile will take them: from the end
    record it finds (the last 22 bytes when they are one without a comment, else the last
    signature in the file's last 64 KiB), or from the zip64 record before it."""
    end = file.seek(0, os.SEEK_END)
    start = max(end - MAX_COMMENT - END_RECORD.size, 0)
    file.seek(start)
    tail = file.read()
    last = len(tail) - END_RECORD.size
    if last >= 0 and tail.startswith(END_SIGNATURE, last) and tail.endswith(b"\0\0"):
        at = last
    else:
        at = tail.rfind(END_SIGNATURE)
        if at < 0 or at > last:
            return None
    fields = END_RECORD.unpack_from(tail, at)
    return _zip64_size(file, start + at) or (fields[4], fields[5])


def _zip64_size(file: IO[bytes], end_record: int) -> tuple[int, int] | None:
    """The entries and bytes of the zip64 end record, when a locator just before the end
    record at ``end_record`` and the record just before it are found, as zipfile looks."""
    at = end_record - ZIP64_LOCATOR.size - ZIP64_RECORD.size
    if at < 0:
        return None
    file.seek(at)
    data = file.read(ZIP64_RECORD.size + ZIP64_LOCATOR.size)
    found = data.startswith(ZIP64_RECORD_SIGNATURE)
    if not (found and data.startswith(ZIP64_LOCATOR_SIGNATURE, ZIP64_RECORD.size)):
        return None
    fields = ZIP64_RECORD.unpack_from(data)
    return fields[7], fields[8]
