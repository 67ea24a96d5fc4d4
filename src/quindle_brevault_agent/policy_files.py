"""Loading a policy: ``load_policy`` and the forms that every command's POLICY takes.

A policy is named by a Python file (``path/to/policy.py``) or a module
(``package.module``), optionally followed by ``:NAME``; the object named
``POLICY`` (or NAME) must be a `Policy` or a list of behaviours.
"""

from __future__ import annotations

import importlib
import importlib.util
import os
import sys

from ._impl import Policy

__all__ = ["load_policy", "PolicyLoadError"]


class PolicyLoadError(Exception):
    """The POLICY argument could not be turned into a `Policy`."""


def _split_target(target: str) -> tuple[str, str]:
    ref, sep, name = target.rpartition(":")
    if sep and name.isidentifier() and ref:
        return ref, name
    return target, "POLICY"


def _is_path(ref: str) -> bool:
    separators = (os.sep, os.altsep) if os.altsep else (os.sep,)
    return ref.endswith(".py") or any(sep in ref for sep in separators) or os.path.isfile(ref)


def load_policy(target: str) -> Policy:
    """The policy named by `target`: ``FILE.py[:NAME]`` or ``package.module[:NAME]``.

    NAME defaults to ``POLICY``; the object must be a `Policy` or a list (or
    tuple) of behaviours. Any failure, an exception raised while the file or
    module runs included, is raised as `PolicyLoadError` with the reason.
    """
    ref, name = _split_target(target)
    try:
        if _is_path(ref):
            path = os.path.abspath(ref)
            if not os.path.isfile(path):
                raise PolicyLoadError(f"no such file: {ref}")
            module_name = "_quindle_policy_" + "".join(
                c if c.isalnum() else "_" for c in os.path.splitext(os.path.basename(path))[0]
            )
            spec = importlib.util.spec_from_file_location(module_name, path)
            if spec is None or spec.loader is None:
                raise PolicyLoadError(f"cannot load {ref} as a Python file")
            module = importlib.util.module_from_spec(spec)
            # The file can import modules that sit next to it, as a script can.
            folder = os.path.dirname(path)
            if folder not in sys.path:
                sys.path.insert(0, folder)
            sys.modules[module_name] = module
            spec.loader.exec_module(module)
        else:
            if "" not in sys.path and os.getcwd() not in sys.path:
                sys.path.insert(0, os.getcwd())
            module = importlib.import_module(ref)
    except PolicyLoadError:
        raise
    except (Exception, SystemExit) as exc:
        raise PolicyLoadError(f"{ref} failed to load: {type(exc).__name__}: {exc}") from exc
    try:
        found = getattr(module, name)
    except AttributeError:
        raise PolicyLoadError(f"{ref} defines no {name}") from None
    if isinstance(found, Policy):
        return found
    if isinstance(found, (list, tuple)):
        try:
            return Policy(found)
        except TypeError as exc:
            raise PolicyLoadError(f"{name} in {ref} is not a list of behaviours: {exc}") from exc
    raise PolicyLoadError(
        f"{name} in {ref} is a {type(found).__name__}, not a Policy or a list of behaviours"
    )
