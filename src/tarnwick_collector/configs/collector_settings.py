"""Settings of the collector, read as class attributes at every use."""

import os
import pickle
import platform


class MessageSink:
    """Stands in for a subprocess channel: keeps every message it is sent."""

    def __init__(self, name):
        self.name = name
        self.messages = []

    def send_message(self, serialized):
        self.messages.append(serialized)

    def clear(self):
        self.messages.clear()


class PlainPickleSerializer:
    """The standard pickler behind the serializer interface.

    Used until a safe serializer is installed; ``object_wrapper`` is accepted
    and ignored.
    """

    def serialize(self, obj, object_wrapper=True):
        return pickle.dumps(obj, protocol=pickle.HIGHEST_PROTOCOL)

    def deserialize(self, data):
        return pickle.loads(data)


class CollectorSettings:
    tenant_id = "local"
    project_id = "local"
    python_version = platform.python_version()
    lib_version = "0.1.0"

    serializer = PlainPickleSerializer()
    data_subprocess = MessageSink("data")
    metrics_subprocess = MessageSink("metrics")

    external_calls_max = 100
    project_files = set()
    project_path = os.getcwd()
