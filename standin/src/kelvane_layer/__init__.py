"""kelvane_layer compute core.

The tuned parts that the kelvane_layer agent-memory SDK consults: the tuning
profile, health scoring, the prompt builders and reply parsers of every LLM
call, two small classifiers, the cosine stagnation gate and an asyncio job
runner.  They live in C++ extension modules under ``kelvane_layer._internal``;
``python -m kelvane_layer`` is the command-line front end.

This is the stand-in for the host SDK's own package ``__init__``: in
production the SDK supplies it, and the core distribution adds only
``kelvane_layer._internal``.
"""

from importlib import metadata as _metadata
from pkgutil import extend_path

# The core may be installed in another sys.path entry than this package (a
# --target directory, a second site-packages); a regular package would hide
# its portion of kelvane_layer there.  Extending __path__ keeps both visible.
__path__ = extend_path(__path__, __name__)

# The version is the core distribution's, as installed.
try:
    __version__ = _metadata.version("kelvane-layer-core")
except _metadata.PackageNotFoundError:  # the core's metadata is missing
    __version__ = "0+unknown"
