"""Where a table comes from: a file on this machine, an fsspec URL, or Arrow data in memory."""

from __future__ import annotations

import os
import re
from typing import TYPE_CHECKING, Any, Optional, Protocol, Tuple, Union

if TYPE_CHECKING:
    import pyarrow as pa
else:
    from .arrow import pa

from .errors import PartyError

_URL = re.compile(r"^[A-Za-z][A-Za-z0-9+.-]*://")


class ArrowStream(Protocol):
    """What pandas (2.2 on), Polars and DuckDB results export."""

    def __arrow_c_stream__(self, requested_schema: Any = None) -> Any: ...


TableSource = Union[str, "os.PathLike[str]", "pa.Table", "pa.RecordBatchReader", ArrowStream]


def is_url(source: object) -> bool:
    return isinstance(source, str) and bool(_URL.match(source))


def local_path(source: object) -> Optional[str]:
    """The file name of a table on this machine (a plain path or a file:// URL), else None."""
    if isinstance(source, os.PathLike):
        source = os.fspath(source)
    if not isinstance(source, str):
        return None
    if source.startswith("file://"):
        return source[len("file://"):]
    return None if is_url(source) else source


def filesystem(url: str) -> Tuple[Any, str]:
    scheme = url.split("://", 1)[0]
    try:
        import fsspec
        return fsspec.core.url_to_fs(url)  # type: ignore[no-any-return]
    except ImportError as e:
        raise PartyError(f"{url}: reading {scheme}:// needs fsspec and its package for {scheme} "
                         f"(pip install 'kestrova[fsspec]'; {first_line(e)})") from None
    except ValueError as e:
        raise PartyError(f"{url}: {first_line(e)}") from None


def describe(source: object) -> str:
    kind = type(source)
    return f"the {kind.__module__.split('.')[0]} {kind.__name__}"


def first_line(error: object) -> str:
    text = str(error).strip()
    return text.splitlines()[0] if text else type(error).__name__
