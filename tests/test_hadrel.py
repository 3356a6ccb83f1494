import random

import pytest

import hadrel
from hadrel import DEOBFUSCATION_MAP, OBFUSCATION_MAP, deobfuscate_key, obfuscate_key

ALPHABET = "-0123456789" + "ABCDEFGHIJKLMNOPQRSTUVWXYZ" + "_" + "abcdefghijklmnopqrstuvwxyz"


def test_the_tables_are_a_permutation_of_the_alphabet_and_its_inverse():
    assert list(OBFUSCATION_MAP) == list(ALPHABET)
    assert sorted(OBFUSCATION_MAP.values()) == sorted(ALPHABET)
    # The inverse is entered in the order of the forward table.
    assert list(DEOBFUSCATION_MAP.items()) == [(v, k) for k, v in OBFUSCATION_MAP.items()]
    # A fixed table: keys scrambled by one build must read back with another.
    assert obfuscate_key("sk-" + ALPHABET) == "sk-soQP-krEtauniwgGRxX1h6VSYBbm5yedFqIWp8L9fj3024UKv_JzDNcZ7HlOTMAC"


def test_only_the_characters_after_the_prefix_change():
    key = "sk-" + ALPHABET
    scrambled = obfuscate_key(key)
    assert scrambled.startswith("sk-") and sorted(scrambled[3:]) == sorted(ALPHABET)
    assert all(a != b for a, b in zip(key[3:], scrambled[3:]))
    assert deobfuscate_key(scrambled) == key and obfuscate_key(deobfuscate_key(key)) == key
    for text in ("", "sk-", "SK-abc", "sk_abc", " sk-abc", "s", "sk", "pk-abc"):
        assert obfuscate_key(text) == text and deobfuscate_key(text) == text
    # Characters outside the alphabet keep their places.
    mixed = obfuscate_key("sk-a.b+c/d=e f中g\udc80h")
    assert mixed[4::2] == ".+/= 中\udc80" and len(mixed) == 18
    assert [OBFUSCATION_MAP[c] for c in "abcdefgh"] == list(mixed[3::2])


def test_every_text_comes_back():
    rng = random.Random(7)
    pool = ALPHABET + ".+/= \t\n中é😀\udc80\ud800\x00\x7f"
    for _ in range(500):
        text = "sk-" * rng.randint(0, 1) + "".join(rng.choice(pool) for _ in range(rng.randint(0, 40)))
        assert deobfuscate_key(obfuscate_key(text)) == text
        assert obfuscate_key(deobfuscate_key(text)) == text
        assert len(obfuscate_key(text)) == len(text)


class Text(str):
    pass


@pytest.mark.parametrize("function, name", [(obfuscate_key, "key"), (deobfuscate_key, "obfuscated_key")])
def test_only_exact_str_is_accepted_and_the_argument_is_named(function, name):
    assert function(**{name: "sk-a"}) == function("sk-a")
    for value in (None, 5, b"sk-a", Text("sk-a")):
        with pytest.raises(TypeError, match=f"'{name}' must be str, not {type(value).__name__}"):
            function(value)
    with pytest.raises(TypeError):
        function("sk-a", "sk-b")
    assert "(key: str) -> str" in hadrel.obfuscate_key.__doc__
