"""quel2cln for Python, on ctypes.

Two layers:

- ``Native(path)`` loads the library and has the eight functions as
  attributes, typed as quel2cln.h declares them: texts are ``bytes`` or
  ``None``, buffers are ``ctypes.create_string_buffer`` objects, outs are
  ``ctypes.byref`` of ``c_bool`` / ``c_uint``. Results are ``bool``.
- ``Client(path, host, port, encoding=...)`` wraps them: texts are ``str``
  (encoded with ``encoding``) or ``bytes`` (passed unchanged), and a result
  false raises ``Quel2ClnError`` with the last error.

The default encoding is Windows-1252, the code page that
docs/protocol.md names for texts. The library itself converts nothing.

The library allows one caller at a time: ``Client`` holds a lock around
every call, shared by all clients of the process.
"""

import ctypes
import struct
import sys
import threading

__all__ = ["Native", "Client", "Quel2ClnError", "DEFAULT_ENCODING", "text_length"]

DEFAULT_ENCODING = "cp1252"

_c_text = ctypes.c_char_p
_c_uint = ctypes.c_uint
_c_bool = ctypes.c_bool

# Name, argument types, in the order of quel2cln.h. Every result is a
# one-byte bool.
_EXPORTS = (
    ("qm2_Init", (_c_text, ctypes.c_int)),
    ("qm2_Done", ()),
    ("qm2_LastError", (ctypes.c_char_p, _c_uint)),
    ("qm2_ExecSQL", (_c_text, _c_text, _c_text)),
    ("qm2_GetAutoInc", (_c_text, _c_text, _c_text, ctypes.POINTER(_c_bool), ctypes.POINTER(_c_uint))),
    ("qm2_CalcAutoInc", (_c_text, _c_text, _c_text, _c_text, ctypes.POINTER(_c_uint))),
    ("qm2_SaveResult", (_c_text, _c_text, _c_text, _c_text, _c_text)),
    ("qm2_Lock", (_c_text, _c_text, ctypes.c_int, _c_text, _c_uint, ctypes.POINTER(_c_bool),
                  ctypes.c_char_p, _c_uint)),
)


def text_length(buffer):
    """The length to pass with ``buffer``: the library writes up to
    length + 1 bytes, the text and its terminator."""
    return len(buffer) - 1


class Native:
    """The library at ``path``, with the eight functions as attributes."""

    def __init__(self, path):
        # 32-bit Windows: stdcall. Everywhere else there is one convention.
        if sys.platform == "win32" and struct.calcsize("P") == 4:
            self.library = ctypes.WinDLL(path)
        else:
            self.library = ctypes.CDLL(path)
        for name, argtypes in _EXPORTS:
            function = getattr(self.library, name)
            function.argtypes = argtypes
            function.restype = _c_bool
            setattr(self, name, function)


class Quel2ClnError(Exception):
    """A call that returned false; ``str()`` and ``.text`` are its last error."""

    def __init__(self, text):
        super().__init__(text)
        self.text = text


_lock = threading.Lock()


class Client:
    """The library in Python's idiom. ``host`` None or empty means
    "localhost", ``port`` below 1 means 85. Calls qm2_Init at once."""

    def __init__(self, path, host=None, port=0, encoding=DEFAULT_ENCODING):
        self.native = path if isinstance(path, Native) else Native(path)
        self.encoding = encoding
        self._call("qm2_Init", self._bytes(host), int(port))

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.done()

    def _bytes(self, text):
        if text is None or isinstance(text, bytes):
            return text
        return text.encode(self.encoding)

    def _text(self, raw):
        return raw.decode(self.encoding, errors="replace")

    def _call(self, name, *args):
        with _lock:
            if not getattr(self.native, name)(*args):
                raise Quel2ClnError(self._read_last_error(4096))

    def _read_last_error(self, max_bytes):
        buffer = ctypes.create_string_buffer(max_bytes + 1)
        if not self.native.qm2_LastError(buffer, text_length(buffer)):
            return ""
        return self._text(buffer.value)

    def last_error(self, max_bytes=4096):
        """The last error, cut to ``max_bytes`` bytes; "" when none."""
        with _lock:
            return self._read_last_error(max_bytes)

    def done(self):
        with _lock:
            self.native.qm2_Done()

    def exec_sql(self, text1, text2, text3):
        self._call("qm2_ExecSQL", self._bytes(text1), self._bytes(text2), self._bytes(text3))

    def get_auto_inc(self, text1, text2, text3):
        """Returns (no_value, value); value is 0 when no_value is True."""
        no_value, value = _c_bool(True), _c_uint(0)
        self._call("qm2_GetAutoInc", self._bytes(text1), self._bytes(text2), self._bytes(text3),
                   ctypes.byref(no_value), ctypes.byref(value))
        return no_value.value, value.value

    def calc_auto_inc(self, text1, text2, text3, field_list):
        """``field_list`` like "id: 1, code: 2"; returns the number."""
        value = _c_uint(0)
        self._call("qm2_CalcAutoInc", self._bytes(text1), self._bytes(text2), self._bytes(text3),
                   self._bytes(field_list), ctypes.byref(value))
        return value.value

    def save_result(self, text1, text2, text3, text4, text5):
        self._call("qm2_SaveResult", *(self._bytes(t) for t in (text1, text2, text3, text4, text5)))

    def lock(self, text1, text2, mode, text4="", number=0, max_text=4096):
        """``mode`` -1 releases, 0 takes, 1 checks. Returns (result, text):
        in mode 0, when result is False, the server's reason cut to
        ``max_text`` bytes; "" otherwise."""
        result = _c_bool(False)
        buffer = ctypes.create_string_buffer(max_text + 1)
        self._call("qm2_Lock", self._bytes(text1), self._bytes(text2), int(mode), self._bytes(text4),
                   int(number), ctypes.byref(result), buffer, text_length(buffer))
        return result.value, self._text(buffer.value)
