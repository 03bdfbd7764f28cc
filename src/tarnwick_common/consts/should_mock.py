"""Names of external functions whose results carry no state worth recording."""


class ShouldMockConsts:
    STATELESS_EXTERNAL_FULL_NAMES = {
        "builtins.isinstance",
        "builtins.issubclass",
        "builtins.len",
        "builtins.hasattr",
        "builtins.id",
        "builtins.type",
        "math.sqrt",
        "math.floor",
        "math.ceil",
    }
