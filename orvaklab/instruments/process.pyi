"""
Driver of the Orvak process-probe reader.
"""
from __future__ import annotations
import orvaklab.instruments.arcprobes
import orvaklab.shapes
import orvaklab.unitbase
import orvaklab.unitgroup
import typing
__all__: list[str] = ['OrvakProcess']
class OrvakProcess(orvaklab.unitbase.Instrument):
    """
    Orvak Process, type code 13: the process-sensor board: four probe channels; probes are named from the REF# in their identity register.
    """
    NO_PROBE_SENTINEL: float = -99.99
    """The no-probe sentinel value, for callers; no operation reads or returns it."""
    NUM_CHANNELS: int = 4
    """Probe channels, numbered from 1."""
    _DEFAULT_MEASURE_SPEC: tuple[tuple[str, int], ...] = (('pH', 0), ('mV', 1), ('T', 2))
    _MEASURE_CMDS: dict[int, str] = {1: 'M310 X Y Z', 2: 'M311 X Y Z', 3: 'M312 X Y Z', 4: 'M313 X Y Z'}
    _MEASURE_SPEC: dict[str, tuple[tuple[str, int], ...]] = {'pH': (('pH', 0), ('mV', 1), ('T', 2)), 'ORP': (('mV', 1), ('T', 2)), 'DCO2': (('mmHg', 1), ('T', 2)), 'COND': (('conductivity', 0), ('T', 2)), 'DO': (('pH', 0), ('mV', 1), ('T', 2)), 'TCD': (('pH', 0), ('mV', 1), ('T', 2)), 'VCD': (('pH', 0), ('mV', 1), ('T', 2))}
    _PROBE_ID_CMDS: dict[int, str] = {1: 'M320 X', 2: 'M321 X', 3: 'M322 X', 4: 'M323 X'}
    _probe_registry: orvaklab.instruments.arcprobes.VideroroZuv
    def __init__(self, number: int = 0, parent: orvaklab.unitgroup.InstrumentGroup | None = None) -> None:
        """
        The driver of the module at chain position number (0 first; its address is number + 1), in the group parent.
        """
    def _query_probe_id_raw(self, channel: int = 1) -> tuple[str, str, str]:
        ...
    def _sensor_id(self, channel: int = 1) -> tuple[int, str]:
        ...
    def attached_channels(self) -> list[int]:
        """
        The channels with a probe, ascending (one identity query per channel).
        """
    def channel_has_probe(self, channel: int = 1) -> bool:
        """
        Whether a probe is attached (its probe ID is not 0).
        
        Parameters:
            channel (int): 1 to NUM_CHANNELS
        """
    def describe_probe(self, channel: int = 1) -> str:
        """
        The catalogue's description of the probe, or 'No probe connected'.
        
        Parameters:
            channel (int): 1 to NUM_CHANNELS
        """
    def estimate_run_time(self) -> float:
        """
        The nominal length of one reading (0.1 s); also stored in estimated_run_time.
        
        Returns float in s.
        """
    def get_probe_id(self, channel: int = 1, wait: bool = True) -> tuple[int, int]:
        """
        (probe ID, serial number) of the channel's probe; (0, 0) for an empty channel.
        
        Parameters:
            channel (int): 1 to NUM_CHANNELS
            wait (bool)
        """
    def measure(self, channel: int = 1, wait: bool = True) -> orvaklab.shapes.ProbeMeasurement:
        """
        A reading labelled for the attached probe: {'channel', 'probe_type', 'description', 'values'}. wait is ignored.
        
        Parameters:
            channel (int): 1 to NUM_CHANNELS
            wait (bool)
        """
    def measure_parameters(self, channel: int = 1, wait: bool = True) -> tuple[float, float, float]:
        """
        One reading of the channel: (pH, mV, T) as three floats. wait is ignored.
        
        Parameters:
            channel (int): 1 to NUM_CHANNELS
            wait (bool)
        """
    def probe_type(self, channel: int = 1) -> str | None:
        """
        The probe's type code ('pH', 'ORP', ...), or None for an empty channel or an unknown REF#.
        
        Parameters:
            channel (int): 1 to NUM_CHANNELS
        """
    def reset(self) -> None:
        """
        Nothing to reset.
        """
    def resume(self) -> None:
        """
        Nothing to resume.
        """
    def stop(self) -> None:
        """
        Nothing to stop: a sensor keeps its state.
        """
    @property
    def estimated_run_time(self) -> float:
        """
        Seconds: the last result of estimate_run_time() (0.0 before one).
        """
    @estimated_run_time.setter
    def estimated_run_time(self, arg0: typing.SupportsFloat | typing.SupportsIndex) -> None:
        ...
    @property
    def instrument_id_number(self) -> int:
        """
        The module's type code.
        """
    @instrument_id_number.setter
    def instrument_id_number(self, arg0: typing.SupportsInt | typing.SupportsIndex) -> None:
        ...
