import tarvex


def test_version():
    assert tarvex.__version__ == "0.1.0"
