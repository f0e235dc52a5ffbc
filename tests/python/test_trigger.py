import datetime
import weakref

import pytest

import tyvo

Trigger = tyvo.Trigger


class TestConstruction:
    def test_cron_keeps_any_text_verbatim(self):
        for text in ["", "  not a pattern ", "0 0 * * *", "é", "a\tb"]:
            assert Trigger.Cron(text).expr == text
        assert Trigger.Cron(expr="@daily").expr == "@daily"

    def test_cron_accepts_str_subclass(self):
        class Text(str):
            pass

        assert type(Trigger.Cron(Text("x")).expr) is str

    def test_interval_round_trips_the_timedelta(self):
        for delta in [
            datetime.timedelta(0),
            datetime.timedelta(days=2, microseconds=7),
            datetime.timedelta(seconds=1.5),
            datetime.timedelta(days=999_999_999, seconds=86_399, microseconds=999_999),
        ]:
            assert Trigger.Interval(delta).duration == delta
            assert Trigger.Interval(duration=delta).duration == delta

    def test_interval_accepts_timedelta_subclass(self):
        class Delta(datetime.timedelta):
            pass

        assert Trigger.Interval(Delta(seconds=3)).duration == datetime.timedelta(seconds=3)

    def test_match_destructures_positionally(self):
        match Trigger.Interval(datetime.timedelta(seconds=5)):
            case Trigger.Cron(expr):
                pytest.fail(f"matched cron {expr}")
            case Trigger.Interval(d):
                assert d == datetime.timedelta(seconds=5)
        match Trigger.Cron("* * * * *"):
            case Trigger.Cron(expr):
                assert expr == "* * * * *"


class TestRefusals:
    @pytest.mark.parametrize(
        "call, error, message",
        [
            (lambda: Trigger.Cron(5), TypeError, "argument 'expr': 'int' object cannot be converted to 'PyString'"),
            (lambda: Trigger.Cron(b"x"), TypeError, "argument 'expr': 'bytes' object cannot be converted to 'PyString'"),
            (lambda: Trigger.Interval(5), TypeError, "argument 'duration': 'int' object cannot be converted to 'PyDelta'"),
            (lambda: Trigger.Interval(datetime.datetime.now()), TypeError,
             "argument 'duration': 'datetime' object cannot be converted to 'PyDelta'"),
            (lambda: Trigger.Cron(), TypeError, "Trigger_Cron.__new__() missing 1 required positional argument: 'expr'"),
            (lambda: Trigger.Interval(), TypeError,
             "Trigger_Interval.__new__() missing 1 required positional argument: 'duration'"),
            (lambda: Trigger.Cron("a", "b"), TypeError, "Trigger_Cron.__new__() takes 1 positional argument but 2 were given"),
            (lambda: Trigger.Cron("a", expr="b"), TypeError, "Trigger_Cron.__new__() got multiple values for argument 'expr'"),
            (lambda: Trigger.Cron(pattern="a"), TypeError, "Trigger_Cron.__new__() got an unexpected keyword argument 'pattern'"),
        ],
    )
    def test_argument_errors_use_the_exact_wording(self, call, error, message):
        with pytest.raises(error) as raised:
            call()
        assert str(raised.value) == message

    def test_negative_interval_is_a_value_error(self):
        with pytest.raises(ValueError, match="negative"):
            Trigger.Interval(datetime.timedelta(seconds=-1))
        with pytest.raises(ValueError):
            Trigger.Interval(-datetime.timedelta(microseconds=1))

    def test_lone_surrogate_is_refused_by_the_codec(self):
        with pytest.raises(UnicodeEncodeError):
            Trigger.Cron("\udc80")

    def test_base_is_not_instantiable_and_variants_not_subclassable(self):
        with pytest.raises(TypeError):
            Trigger()
        for variant in (Trigger.Cron, Trigger.Interval):
            with pytest.raises(TypeError):
                type("Sub", (variant,), {})

    def test_fields_are_read_only_and_objects_have_no_dict_or_weakrefs(self):
        cron = Trigger.Cron("x")
        interval = Trigger.Interval(datetime.timedelta(seconds=1))
        with pytest.raises(AttributeError):
            cron.expr = "y"
        with pytest.raises(AttributeError):
            interval.duration = datetime.timedelta(0)
        with pytest.raises(AttributeError):
            cron.duration
        with pytest.raises(AttributeError):
            interval.expr
        with pytest.raises(AttributeError):
            cron.other = 1
        with pytest.raises(TypeError):
            weakref.ref(cron)


class TestClassShape:
    def test_names_bases_and_signatures(self):
        assert Trigger.Cron.__name__ == "Trigger_Cron"
        assert Trigger.Interval.__name__ == "Trigger_Interval"
        assert Trigger.Cron.__bases__ == (Trigger,)
        assert Trigger.Interval.__bases__ == (Trigger,)
        assert Trigger.__bases__ == (object,)
        assert Trigger.Cron.__text_signature__ == "(expr)"
        assert Trigger.Interval.__text_signature__ == "(duration)"
        assert Trigger.Cron.__match_args__ == ("expr",)
        assert Trigger.Interval.__match_args__ == ("duration",)
        assert isinstance(Trigger.Cron("x"), Trigger)
        assert Trigger.Cron is Trigger.Cron

    def test_equality_and_hash_are_by_identity(self):
        a, b = Trigger.Cron("x"), Trigger.Cron("x")
        assert a != b and a == a
        assert hash(a) != hash(b)
