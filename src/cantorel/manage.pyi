# Type information for the native module cantorel.manage.
#
# Names that start with an underscore and are not methods (_RecognitionModel,
# _SpeechModel, _Samples) exist only here, for type checkers: a host program
# may use them under `if TYPE_CHECKING:` to type its own models.
from collections import deque
from queue import Queue
from threading import Thread
from typing import Any, Iterable, List, Optional, Protocol

import numpy as np
import numpy.typing as npt

# One utterance: 16-bit signed samples, mono, 16000 per second, read-only.
_Samples = npt.NDArray[np.int16]

class _RecognitionModel(Protocol):
    # The host's speech recogniser. Returns the text, or "" / None when it heard no words.
    def generate(self, audio: _Samples, /) -> Optional[str]: ...

class _SpeechModel(Protocol):
    # The host's speech synthesiser. Returns raw PCM: mono, 16-bit, 48000 samples per second.
    def ort_predict(self, text: str, /) -> bytes: ...

class VoiceVD:
    cache_dir: str
    asr_model_dir: str
    model_path: str
    sess: Any  # onnxruntime.InferenceSession
    state: npt.NDArray[np.float32]
    ctx: npt.NDArray[np.float32]
    sr: npt.NDArray[np.int64]
    def __init__(self) -> None: ...
    def reset(self) -> None: ...
    def __call__(self, pcm_bytes: bytes) -> float: ...

class RecVoice:
    _sld: int
    max_time_record: int
    frame_is_append: bool
    RATE: int
    FRAME_SIZE: int
    FORMAT: int  # pyaudio.paInt16
    CHANNELS: int
    pa: Any  # pyaudio.PyAudio
    stream: Any  # pyaudio.Stream (PyAudio ships no type information)
    voicevd: VoiceVD
    hist: deque[float]
    time_start: float
    def __init__(self, sld: int = 4, max_time: int = 5, device_index: Optional[int] = None) -> None: ...
    def vad_audio(self) -> Optional[_Samples]: ...
    def record_audio(self) -> Optional[_Samples]: ...

class RecVoice_T(RecVoice):
    thread: Optional[Thread]
    audio_np: Optional[_Samples]
    # Takes exactly what RecVoice.__init__ takes, and passes it on.
    def __init__(self, sld: int = 4, max_time: int = 5, device_index: Optional[int] = None) -> None: ...
    def start_recording(self) -> None: ...
    def _record_audio_thread(self) -> None: ...
    def stop_recording(self) -> None: ...
    def get_audio(self) -> Optional[_Samples]: ...

class AudioPlayer:
    def __init__(self) -> None: ...
    @staticmethod
    def play_audio(audio_data: bytes) -> None: ...

class Input:
    asr_model: _RecognitionModel
    sld: int
    max_time: int
    recorder: Optional[RecVoice_T]  # None only while the constructor runs
    def __init__(self, asr_model: _RecognitionModel, sld: int = 1, max_time: int = 3) -> None: ...
    def _init(self) -> None: ...
    def _recognize(self) -> Optional[str]: ...
    def _reset(self) -> None: ...

class Output:
    tts_model: _SpeechModel
    output_queue: Queue[tuple[int, str]]
    play_queue: Queue[bytes]
    tts_thread: Optional[Thread]
    play_thread: Optional[Thread]
    def __init__(self, tts_model: _SpeechModel) -> None: ...
    def _init_threads(self) -> None: ...
    @staticmethod
    def _splitsen(text: str, start: int, sep: str = "，。,.!?") -> tuple[int, List[str]]: ...
    def _tts_worker(self) -> None: ...
    def _play_worker(self) -> None: ...
    # Any iterable of text chunks: a generator, a list, a language model's stream.
    def _add_stream(self, llm_stream: Iterable[str]) -> None: ...
    def _wait_all(self) -> None: ...

__test__: dict[Any, Any]
