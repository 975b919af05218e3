# The package as type checkers see it: the twelve names of the compiled
# module, and the package's own layers that __init__.py serves on first use.

from . import extraction as extraction
from . import files as files
from . import metadata as metadata
from . import models as models
from . import orvik as orvik
from . import qualities as qualities
from . import sampling as sampling
from . import site as site
from .extraction import extract as extract
from .files import info as info
from .files import load as load
from .files import save as save
from .metadata import to_dataset as to_dataset
from .orvik import *  # noqa: F403
from .orvik import __all__ as __all__
from .sampling import sample as sample

__version__: str
