"""C++ extension modules of the compute core.

Each submodule is one compiled deliverable: ``tuning_profile``,
``_invariants``, ``_defaults``, ``health``, ``extraction``, ``evolution``,
``rule_domains``, ``consolidation``, ``journal``, ``group_digest``,
``convergence_judge`` and ``jobline``, each a self-contained extension
module on the host's C API.  They are imported by their full names, for
example ``from kelvane_layer._internal.health import compute_kelvane_score``.
"""
