import pytest

import i18n


def test_english_is_in_force_until_switched():
    assert i18n.get_language() == "en"
    assert i18n.t("api_call_failed", "boom") == "API call failed: boom"
    i18n.set_language("zh")
    assert i18n.get_language() == "zh"
    assert i18n.t("api_call_failed", "boom") == "API 调用失败: boom"


def test_placeholders_follow_the_format_rules():
    # An unknown key is returned as it stands, filled like any text.
    assert i18n.t("Saved {} of {total}", 3, total=5) == "Saved 3 of 5"
    assert i18n.t("{0}{0}", "ab") == "abab"
    assert i18n.t("{{literal}}", 1) == "{literal}"
    # Surplus values are ignored; a missing one leaves the text unfilled.
    assert i18n.t("available_models", "extra") == "Available models:"
    assert i18n.t("api_call_failed") == "API call failed: {}"
    assert i18n.t("{name}") == "{name}"
    # The value's text form is used.
    assert i18n.t("error_colon", ValueError("bad")) == "Error: bad"


def test_bad_arguments_are_refused():
    with pytest.raises(TypeError, match="'key'"):
        i18n.t(3)
    with pytest.raises(ValueError, match="'fr'"):
        i18n.set_language("fr")
    with pytest.raises(TypeError, match="'code'"):
        i18n.set_language(None)
    assert i18n.get_language() == "en"


def test_instances_keep_their_own_language():
    own = i18n.I18n()
    own.set_language("zh")
    assert own.get_language() == "zh"
    assert own.t("error_colon", "x") == "错误: x"
    assert i18n.get_language() == "en"
