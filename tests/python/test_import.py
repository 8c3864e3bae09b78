import _tarnwell


def test_module_imports():
    assert _tarnwell.__name__ == "_tarnwell"
