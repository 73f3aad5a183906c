import importlib


def test_native_module_imports():
    module = importlib.import_module("quorlin._quorlin")
    assert module.__name__ == "quorlin._quorlin"
