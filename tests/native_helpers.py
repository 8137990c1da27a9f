"""The test-only libraries that ./run builds beside the module (VS30AMP_PLAIN_MODELS): the plain
transcription of the models and the kernels on each math path. A wheel has neither."""

import ctypes
from pathlib import Path

import pytest

import vs30amp._native


def library_path(name):
    """Beside _utils: the build directory holds _utils and vs30amp/_native, as site-packages does."""
    return Path(vs30amp._native.__file__).parent.parent / name


def library_beside_module(name):
    """The library loaded with ctypes, or the test skipped when this build has none."""
    path = library_path(name)
    if not path.exists():
        pytest.skip(f"this build has no {name} beside it (VS30AMP_PLAIN_MODELS=ON)")
    return ctypes.CDLL(str(path))


def kernel_paths_library():
    """tests/kernel_paths.cpp: the kernels on a chosen math path and the parts of the math gate."""
    lib = library_beside_module("kernel_paths.so")
    lib.kernel_paths_run.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p]
    lib.kernel_paths_run_named.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int, ctypes.c_void_p,
                                           ctypes.c_size_t, ctypes.c_void_p]
    lib.kernel_paths_run_uncertain.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int, ctypes.c_double,
                                               ctypes.c_int, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p]
    lib.kernel_paths_gate_choice.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
    lib.kernel_paths_gate_choice.restype = ctypes.c_char_p
    lib.kernel_paths_path_name.restype = ctypes.c_char_p
    lib.kernel_paths_math.argtypes = [ctypes.c_int, ctypes.c_int] + [ctypes.c_void_p] * 3 + [ctypes.c_size_t]
    return lib
