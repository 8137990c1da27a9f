"""What made a file: the CF-style attributes every output of the package carries, and the note
an amplified record file carries in its own header."""

from __future__ import annotations

import datetime
import shlex
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path

from ._models import convention_words, get_model
from ._rock_motion import carried_rock
from ._version import __version__

SOURCE = f"vs30amp {__version__}"
# The start of an AT2 record's note, by which a later amplification finds and replaces it.
NOTE_START = "amplified by vs30amp "


def attributes(title: str, made_by: str, model: str | None = None, convention: str | None = None,
               earlier: str | None = None, epsilon: float = 0.0) -> dict[str, str]:
    """Conventions, title, source (the package's version), history (the `earlier` history of
    the input, then a line of now and `made_by`, the command or function that wrote the file)
    and, for a model's output, its references, name, convention and a comment saying what the
    convention is (BA18's default is not the published model); factors moved by `epsilon` sigma
    from the median say so in an epsilon attribute and in the comment."""
    now = datetime.datetime.now(datetime.UTC).isoformat(timespec="seconds")
    history = f"{now}: {made_by}"
    if earlier:
        history = f"{str(earlier).rstrip()}\n{history}"
    about = {"Conventions": "CF-1.8", "title": title, "source": SOURCE, "history": history}
    if model is not None:
        chosen = get_model(model)
        about |= {"references": chosen.reference, "model": chosen.name, "convention": convention or "module",
                  "comment": f"factors of {convention_words(chosen.name, convention or 'module')}"}
        if epsilon:
            about |= {"epsilon": repr(float(epsilon)),
                      "comment": f"{about['comment']}, moved by epsilon {float(epsilon):g} times its sigma"}
    return about


def carried_words(model: str) -> str:
    """What a file amplified from its records' own motion says of a model that takes it on rock,
    e.g. "pga carried to 760 m/s rock", "y_ref from the records' PSA carried to 1130 m/s rock"."""
    found = get_model(model)
    on = f"carried to {_shortest(float(carried_rock(found) or 0.0))} m/s rock"
    given = found.per_period_input
    return f"pga {on}" if given is None else f"{given.name} from the records' PSA {on}"


def command_line(argv: Sequence[str]) -> str:
    """`argv` as the user typed it, without the paths of the installation: ``python -m vs30amp``
    for the package's own ``__main__.py`` (any package's: ``python -m pytest``), ``vs30amp``
    for the installed command, ``python -c`` for a program given so, any other as given."""
    program = argv[0] if argv and argv[0] else "python"
    path = Path(program)
    if path.name == "__main__.py":
        typed = f"python -m {path.parent.name}"
    elif program == "-c":
        typed = "python -c"
    else:
        typed = "vs30amp" if path.stem == "vs30amp" else shlex.quote(program)
    return " ".join([typed, *map(shlex.quote, argv[1:])])


@dataclass(frozen=True)
class RecordProvenance:
    """What amplified a record: the model (its short name, any case), the convention, the site's
    Vs30 and the Vs30 the record was simulated for (m/s); the package's version goes with them.
    `carried_to_rock`: the record's own PGA was carried to the rock the model takes its PGA on
    (`Input.rock`); said only of such a model, and always of one whose input per period (cy14's
    y_ref) is taken from the records' own PSA.

    `note` is its line of text (an AT2 file's record line carries it), `sac_fields` the user
    fields of a SAC file (each record format marks its header in its own module, `vs30amp.io`'s
    `amplified`); an unknown model or convention is refused (ValueError) when the provenance is
    made.
    """

    model: str
    vs30: float
    vs30_sim: float
    convention: str = "module"
    carried_to_rock: bool = False
    epsilon: float = 0.0

    def __post_init__(self) -> None:
        chosen = get_model(self.model)
        object.__setattr__(self, "convention", chosen.convention_named(self.convention))
        object.__setattr__(self, "carried_to_rock", carried_rock(chosen) is not None and
                           (bool(self.carried_to_rock) or chosen.per_period_input is not None))
        object.__setattr__(self, "model", chosen.name)
        object.__setattr__(self, "vs30", float(self.vs30))
        object.__setattr__(self, "vs30_sim", float(self.vs30_sim))
        object.__setattr__(self, "epsilon", float(self.epsilon))

    def note(self) -> str:
        """One line of ASCII, e.g. "amplified by vs30amp 0.1.0 (ba18, module): vs30 300 m/s,
        vs30_sim 760 m/s" (and ", pga carried to 760 m/s rock" when it was); each Vs30 in the
        fewest digits that read back to the same float64."""
        carried = f", {carried_words(self.model)}" if self.carried_to_rock else ""
        carried += f", epsilon {self.epsilon:g}" if self.epsilon else ""
        return (f"{NOTE_START}{__version__} ({self.model}, {self.convention}): "
                f"vs30 {_shortest(self.vs30)} m/s, vs30_sim {_shortest(self.vs30_sim)} m/s{carried}")

    def sac_fields(self) -> dict[str, str | float]:
        """KUSER0 "vs30amp", KUSER1 the version, KUSER2 the model and the convention's first
        three letters ("ba18-mod", "ba18-pub"), each at most 8 characters; USER0 the site's Vs30,
        USER1 the simulation's, USER2 the rock's Vs30 when the PGA was carried to it (float32 in
        the file)."""
        from .io._sac import provenance_fields  # the SAC format's own; vs30amp.io imports this module

        return provenance_fields(self)


def _shortest(value: float) -> str:
    return repr(value).removesuffix(".0")
