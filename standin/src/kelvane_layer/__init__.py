"""kelvane_layer compute core.

The tuned parts that the kelvane_layer agent-memory SDK consults: the tuning
profile, health scoring, the prompt builders and reply parsers of every LLM
call, two small classifiers, the cosine stagnation gate and an asyncio job
runner.  They live in C++ extension modules under ``kelvane_layer._internal``;
``python -m kelvane_layer`` is the command-line front end.
"""

__version__ = "0.1.0"
