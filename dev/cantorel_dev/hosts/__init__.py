"""Host-side models for the voice loop: the recogniser and the speech
synthesiser that a program hands to `cantorel.manage`. They live outside the
extension module; the demo and the tests use them. Install their Python
dependencies with the `demo` extra (tools/setup.sh does)."""


def mono_int16(samples):
    """The capture's samples as a 1-D int16 array, or a clear refusal: both
    recognisers take what `Input` hands them and nothing else."""
    import numpy as np
    x = np.asarray(samples)
    if x.dtype != np.int16:
        raise TypeError(f"samples must be int16, got {x.dtype}")
    if x.ndim != 1:
        raise ValueError(f"samples must be mono (1-D), got shape {x.shape}")
    return x
