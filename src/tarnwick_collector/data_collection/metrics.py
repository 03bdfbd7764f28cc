"""Metric messages sent to the metrics subprocess, and their reasons."""

from enum import Enum


class FailureReasons(str, Enum):
    ASYNCIO = "asyncio"
    EXCEPTION = "exception"


class UnpicklableReasons(str, Enum):
    GENERAL = "general"
    REDUCE = "reduce"
    TYPE_ERROR = "type_error"


class StandInReasons(str, Enum):
    # Why a value was written as a stand-in instead of by its own code.
    PICKLING_METHODS = "pickling methods"
    ATTRIBUTE_HOOKS = "__getattr__"


class LimitReasons(str, Enum):
    # Filled positionally with the offending value's name and the place.
    MAX_STRING_SIZE_EXCEEDED = "size of {} exceeded the maximum at {}"
    EXTERNAL_FUNCTION_CALLS_LIMIT_EXCEEDED = "external function calls limit exceeded"


class Metric:
    """Common fields of every metric; built positionally."""

    def __init__(self, tenant_id, project_id, python_version, lib_version):
        self.tenant_id = tenant_id
        self.project_id = project_id
        self.python_version = python_version
        self.lib_version = lib_version

    def __eq__(self, other):
        return type(self) is type(other) and self.__dict__ == other.__dict__

    def __repr__(self):
        fields = ", ".join(f"{k}={v!r}" for k, v in self.__dict__.items())
        return f"{type(self).__name__}({fields})"


class CollectionTry(Metric):
    """A recorded call was attempted."""


class CollectionSuccess(Metric):
    """A call record reached the data subprocess."""


class CollectorFailure(Metric):
    def __init__(self, tenant_id, project_id, python_version, lib_version, reason):
        super().__init__(tenant_id, project_id, python_version, lib_version)
        self.reason = reason


class Unpicklable(Metric):
    def __init__(self, tenant_id, project_id, python_version, lib_version, type_name, reason):
        super().__init__(tenant_id, project_id, python_version, lib_version)
        self.type_name = type_name
        self.reason = reason


class LimitFailure(Metric):
    def __init__(self, tenant_id, project_id, python_version, lib_version, function_full_name,
                 reason):
        super().__init__(tenant_id, project_id, python_version, lib_version)
        self.function_full_name = function_full_name
        self.reason = reason


class ExternalFunction(Metric):
    def __init__(self, tenant_id, project_id, python_version, lib_version, full_name):
        super().__init__(tenant_id, project_id, python_version, lib_version)
        self.full_name = full_name


class StandIns(Metric):
    """How many values of a stored call record were written as stand-ins, for one reason."""

    def __init__(self, tenant_id, project_id, python_version, lib_version, function_full_name,
                 reason, count):
        super().__init__(tenant_id, project_id, python_version, lib_version)
        self.function_full_name = function_full_name
        self.reason = reason
        self.count = count
