"""bus.dump() and bus.restore(): qelctl's rules for parameter sets."""

import json

import pytest

import qelcomm


def test_restore_writes_settings_only_unless_asked(tmp_path):
    bus = qelcomm.open()
    bus.write(1, "GROUPID", 4)
    bus.write(1, "P_SOLL", 50)
    dumped = bus.dump(1, tmp_path / "motor1.json")
    assert dumped == json.loads((tmp_path / "motor1.json").read_text())
    roles = {e["name"]: e["role"] for e in dumped["registers"]}
    assert roles["GROUPID"] == "setting" and roles["ADDRESS"] == "identity"

    bus.write(1, "GROUPID", 9)
    bus.write(1, "P_SOLL", 0)
    dry = bus.restore(1, dumped, dry_run=True)
    assert [c["name"] for c in dry["changes"]] == ["GROUPID"] and bus.read(1, "GROUPID") == 9
    report = bus.restore(1, tmp_path / "motor1.json")
    assert bus.read(1, "GROUPID") == 4 and bus.read(1, "P_SOLL") == 0, "live left alone"
    assert report["skipped"]["identity"] == 3 and report["skipped"]["live"] > 0
    assert report["changes"] == [
        {"number": 260, "name": "GROUPID", "from": 9, "to": 4, "read_back": 4}]
    assert bus.restore(1, dumped, include_live=True, flash=True)["flashed"]
    assert bus.read(1, "P_SOLL") == 50
    assert not bus.restore(1, dumped, flash=True)["flashed"], "nothing changed, nothing saved"


def edited(tmp_path, entries, table="standard"):
    path = tmp_path / "edited.json"
    path.write_text(json.dumps({"address": 1, "table": table, "registers": entries}))
    return path


def test_a_file_that_cannot_be_used_is_refused_before_anything_is_sent(tmp_path):
    bus = qelcomm.open()
    sent = []
    bus.set_trace(lambda direction, t, data: sent.append(direction))
    big = bus.dump(2)
    sent.clear()
    with pytest.raises(qelcomm.RefusedValue, match="of a big motor; motor 1 is taken as "
                       r"standard \(big= selects a big one\)"):
        bus.restore(1, big)
    cases = [
        ([{"number": 5, "raw": 123, "value": 10}],
         r"entry 1 \(V_SOLL \(5\)\): raw 123 and value 10 \(raw 21\) disagree"),
        ([{"number": 5, "name": "GROUPID", "raw": 1}], "name \"GROUPID\" is not register 5's"),
    ]
    for entries, message in cases:
        with pytest.raises(ValueError, match=message) as refused:
            bus.restore(1, edited(tmp_path, entries))
        assert refused.value.path == str(tmp_path / "edited.json")
    (tmp_path / "broken.json").write_text('{\n "registers": [,]}')
    with pytest.raises(qelcomm.RefusedValue, match="broken.json line 2, column 16"):
        bus.restore(1, tmp_path / "broken.json")
    assert sent == []
    bus.restore(1, edited(tmp_path, [{"number": 5, "value": 50.0}]))  # in units
    assert bus.read(1, "V_SOLL") == 105


def test_a_big_motor_taken_as_standard_or_a_silent_one_is_not_dumped(tmp_path):
    bus = qelcomm.open(retries=1)
    with pytest.raises(qelcomm.QelError, match="none of its .* registers answered"):
        bus.dump(7, tmp_path / "none.json")
    assert not (tmp_path / "none.json").exists()
    bus.write(2, "V_SOLL", 0x12345)
    bus.set_big(2, False)
    with pytest.raises(qelcomm.QelError, match=r"is motor 2 a big motor\? \(big= 2\)"):
        bus.dump(2)
