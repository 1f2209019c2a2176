"""The clients' port file: the first line names the port that libflumina and
the android bridge connect to on 127.0.0.1 (without it, 43329)."""

import os

from android import PORT_FILE


class ClientsPortFile:
    """The port file, put back as it was when the `with` block ends: its
    content, or its absence and that of the folders made for it."""

    def __init__(self, path=PORT_FILE):
        self.path = path
        self._saved = None
        self._written = False
        self._made = []

    def __enter__(self):
        try:
            with open(self.path, "rb") as f:
                self._saved = f.read()
        except FileNotFoundError:
            self._saved = None
        return self

    def writable(self):
        """Whether this process may write the file, or make it and its folders."""
        existing = self.path
        while not os.path.exists(existing):
            existing = os.path.dirname(existing)
        if existing == self.path:
            return os.access(existing, os.W_OK)
        return os.access(existing, os.W_OK | os.X_OK)

    def point_at(self, port):
        """Names `port` in the file."""
        self._written = True
        missing = []
        folder = os.path.dirname(self.path)
        while not os.path.isdir(folder):
            missing.append(folder)
            folder = os.path.dirname(folder)
        for folder in reversed(missing):
            os.mkdir(folder)
            self._made.append(folder)
        with open(self.path, "w") as f:
            f.write(f"{port}\n")

    def remove(self):
        """Removes the file, so that the clients connect to 43329."""
        self._written = True
        if os.path.exists(self.path):
            os.unlink(self.path)

    def __exit__(self, *exc):
        if not self._written:
            return
        self._written = False
        if self._saved is not None:
            with open(self.path, "wb") as f:
                f.write(self._saved)
        elif os.path.exists(self.path):
            os.unlink(self.path)
        for folder in reversed(self._made):
            os.rmdir(folder)
        self._made = []
