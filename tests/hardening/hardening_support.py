"""Helpers shared by the hardening tests: strict decoding, counting the
items of the root container without building it, and running code in a
thread with a small native stack."""
import io
import threading

import cbor2

SMALL_STACK = 256 * 1024


def decode_strict(data):
    """The one item in data, decoded by cbor2; no byte may be left over."""
    stream = io.BytesIO(data)
    value = cbor2.CBORDecoder(stream).decode()
    assert stream.tell() == len(data), "trailing bytes after the item"
    return value


def _head(data, pos):
    ib = data[pos]
    major, info = ib >> 5, ib & 31
    pos += 1
    if info < 24:
        return major, info, pos
    if info <= 27:
        n = 1 << (info - 24)
        return major, int.from_bytes(data[pos:pos + n], "big"), pos + n
    if info == 31:
        return major, None, pos
    raise ValueError("reserved additional information %d" % info)


def skip(data, pos):
    """Offset just past the item starting at pos (iterative: any depth)."""
    todo = [1]  # per open level: items still expected, or None up to a break
    while todo:
        if todo[-1] == 0:
            todo.pop()
            continue
        if todo[-1] is None and data[pos] == 0xFF:
            pos += 1
            todo.pop()
            continue
        if todo[-1] is not None:
            todo[-1] -= 1
        major, arg, pos = _head(data, pos)
        if major in (2, 3):
            if arg is None:
                todo.append(None)
            else:
                pos += arg
        elif major == 4:
            todo.append(arg)
        elif major == 5:
            todo.append(None if arg is None else 2 * arg)
        elif major == 6:
            todo.append(1)
    return pos


def root_count(data):
    """Elements (array) or pairs (map) of the root container in data."""
    major, arg, pos = _head(data, 0)
    assert major in (4, 5), "root is not a container"
    if arg is not None:
        return arg
    n = 0
    while data[pos] != 0xFF:
        pos = skip(data, pos)
        n += 1
    return n if major == 4 else n // 2


def in_small_thread(fn, *args, stack_size=SMALL_STACK):
    """fn(*args) in a new thread whose native stack is stack_size bytes;
    returns its result or raises its exception here."""
    box = {}

    def run():
        try:
            box["result"] = fn(*args)
        except BaseException as e:  # handed to the caller's thread
            box["error"] = e

    old = threading.stack_size(stack_size)
    try:
        thread = threading.Thread(target=run)
        thread.start()
    finally:
        threading.stack_size(old)
    thread.join()
    if "error" in box:
        raise box.pop("error")
    return box.get("result")
