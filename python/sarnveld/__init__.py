"""Packs raw memory images into Sarnveld containers and unpacks them, with the containers and
failures of sarnveld2hex and hex2plain."""
from ._sarnveld import (Error, Summary, __version__, describe, pack, pack_file, unpack,
                        unpack_and_describe, unpack_file)

__all__ = ["Error", "Summary", "describe", "pack", "pack_file", "unpack", "unpack_and_describe",
           "unpack_file"]
