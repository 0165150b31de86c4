"""The introspection a binding's method must offer: the same checks for every class of `_vorlstore`."""

import inspect


def assert_method_doc(cls, instance, name, text_signature, signature, doc):
    """cls.name has exactly this text signature and docstring, and the bound method takes only
    required positional-or-keyword parameters, as *signature* spells them."""
    method = getattr(cls, name)
    assert method.__text_signature__ == text_signature
    assert method.__doc__ == doc
    bound = inspect.signature(getattr(instance, name))
    assert str(bound) == signature
    params = bound.parameters.values()
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD and p.default is p.empty for p in params)
