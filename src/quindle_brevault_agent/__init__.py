"""quindle-brevault-agent: ready-made policy rules and behaviours for an agent.

The rules and behaviour factories live in the native module
``quindle_brevault_agent.library``; the host layer that builds and evaluates
them is ``quindle_brevault_agent._impl``.
"""

__version__ = "0.1.0"
