"""The reference network: a residual convolutional tower over the observation planes, with the
pieces in hand and the done flags added to its first layer; a policy head whose outputs are the
action indices themselves, and a value head giving the four agents' outcomes in the
observation's relative order, on the searches' [0, 1] scale.

The parts: ``config`` (width, depth, the value head's mode), ``forward`` (the network as array
code shared by numpy and JAX), ``backends`` (their convolutions), ``graph`` (the network as an
ONNX graph) and ``runtimes`` (ONNX Runtime's sessions on it), ``evaluator`` (parameters as the
evaluator a search takes, on ONNX Runtime or JAX where installed, else numpy), ``checkpoint``
(plain arrays and JSON on disk) and ``policy_player`` (the raw policy as a player). Playing
needs only numpy; training needs the ``train`` extra (``krodan_rl.train``).
"""

from __future__ import annotations

from krodan_rl.nn.config import NetworkConfig
from krodan_rl.nn.evaluator import NetworkEvaluator

__all__ = ["NetworkConfig", "NetworkEvaluator"]
