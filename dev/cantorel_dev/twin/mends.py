"""What the module does differently from the plain statements of its Python
form, on purpose: each function stands for one mend and is called from the
line that carries it. Tests leave this file's traceback entries out: in the
module the mend is part of the statement itself."""
import numpy as np

INT_MIN = -2 ** 31


def one_element(prob):
    """float(prob) of an array of one element converts the element: the same
    value, without numpy's warning that such conversions will become errors.
    Any other value (a float, several elements, a subclass with a conversion
    of its own) reaches float() as it is."""
    if isinstance(prob, np.ndarray) and type(prob).__float__ is np.ndarray.__float__ \
            and prob.size == 1:
        return prob.item()
    return prob


def quiet(ort):
    """The detector's session runs single-threaded with spinning off: the
    default thread pool spins between the once-per-frame runs and never
    rests. A host's `ort` without SessionOptions gets the plain call."""
    options_type = getattr(ort, "SessionOptions", None)
    if options_type is None:
        return {}
    options = options_type()
    options.intra_op_num_threads = 1
    options.inter_op_num_threads = 1
    options.add_session_config_entry("session.intra_op.allow_spinning", "0")
    return {"sess_options": options}


def device_checked(pa, device_index):
    """PyAudio's open() reads through a null pointer for an input device that
    does not exist, so a chosen device is looked up first, with PyAudio's own
    look-up and its usual error. None and the negative indices that fit a C
    int, which PyAudio takes as the default device, are not looked up."""
    if device_index is not None and not INT_MIN <= device_index < 0:
        pa.get_device_info_by_index(device_index)
    return pa


def str_or_none(value):
    """The declared return type of Input._recognize, checked on return."""
    if value is not None and type(value) is not str:
        raise TypeError(f"Expected str, got {type(value).__name__:.200}")
    return value


def not_negative(start):
    """A negative start would index from the end of the text; nothing in the
    module passes one, so _splitsen refuses it."""
    if start < 0:
        raise ValueError(f"_splitsen() start must not be negative, got {start}")
    return start


def two(value):
    """Unpacking into two targets, with the module's messages for a wrong
    count; an exact tuple or list by its length, anything else iterated."""
    if type(value) in (tuple, list):
        items = value
        if len(items) > 2:
            raise ValueError("too many values to unpack (expected 2)")
    else:
        iterator, items = iter(value), []
        for item in iterator:
            items.append(item)
            if len(items) == 3:
                raise ValueError("too many values to unpack (expected 2)")
    if len(items) < 2:
        raise ValueError(f"need more than {len(items)} value{'' if len(items) == 1 else 's'}"
                         " to unpack")
    return items[0], items[1]
