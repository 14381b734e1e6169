"""One answer of the registry as the tests read it: status, headers by
lower-case name, body, and the protocol's error code and message."""
import hashlib
import json


def sha(data):
    """The digest of bytes as the protocol writes it."""
    return "sha256:" + hashlib.sha256(data).hexdigest()


class Answer:
    def __init__(self, status, headers, body):
        self.status, self.headers, self.body = status, headers, body

    def _error(self, key):
        try:
            return json.loads(self.body)["errors"][0][key]
        except (ValueError, KeyError, IndexError, TypeError):
            return None

    def code(self):
        return self._error("code")

    def message(self):
        return self._error("message") or ""
