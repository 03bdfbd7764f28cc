"""Settings of the collector, read as class attributes at every use."""

import os
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


class _DefaultSerializer:
    """Installs the IPC serializer on first use.

    The serializer's modules import these settings, so they cannot be
    imported while this module is; the first call puts a real
    ``IpcPickleSerializer`` in ``CollectorSettings.serializer``.
    """

    @staticmethod
    def _install():
        from tarnwick_collector.data_serialization.wirecodec import IpcPickleSerializer

        if isinstance(CollectorSettings.serializer, _DefaultSerializer):
            CollectorSettings.serializer = IpcPickleSerializer()
        return CollectorSettings.serializer

    def serialize(self, obj, object_wrapper=True):
        return self._install().serialize(obj, object_wrapper)

    def deserialize(self, data):
        return self._install().deserialize(data)


class CollectorSettings:
    tenant_id = "local"
    project_id = "local"
    python_version = platform.python_version()
    lib_version = "0.1.0"

    serializer = _DefaultSerializer()
    data_subprocess = MessageSink("data")
    metrics_subprocess = MessageSink("metrics")

    external_calls_max = 100
    # A value the pickler refuses (its class has its own pickling methods, or
    # a Python __getattr__/__getattribute__) drops the call by default; on,
    # it is written as a StandIn read from its __dict__ and slots instead.
    stand_ins_for_refused = False
    project_files = set()
    project_path = os.getcwd()
