import queue
import simpleaudio as sa
from typing import Optional, Generator, List, Tuple
import time
import threading
import numpy as np
from collections import deque
import os
import pyaudio
import onnxruntime as ort
# The module as plain Python, each statement on the line the module reports
# for it; its mends are calls into twin/mends.py (twin/__init__.py).
class VoiceVD:
    def __init__(self):
        self.cache_dir = os.path.expanduser("~/.cache")
        self.asr_model_dir = os.path.join(self.cache_dir, "sonvale")
        self.model_path = os.path.join(self.asr_model_dir, "voicevd.pt")
        self.sess = ort.InferenceSession(self.model_path, **_mends.quiet(ort), providers=["CPUExecutionProvider"])
        self.state = np.zeros((2, 1, 128), dtype=np.float32)
        self.ctx = np.zeros((1, 64), dtype=np.float32)
        self.sr = np.array(16000, dtype=np.int64)

    def reset(self):
        self.state.fill(0)
        self.ctx.fill(0)

    def __call__(self, pcm_bytes: 'bytes') -> 'float':
        wav = np.frombuffer(pcm_bytes, dtype=np.int16)
        wav = (wav.astype(np.float32) / 32768.0)[np.newaxis, :]

        x = np.concatenate((self.ctx, wav), axis=1)
        self.ctx = x[:, -64:]

        prob, self.state = _mends.two(self.sess.run(None, {

            "input": x.astype(np.float32),
            "state": self.state,
            "sr": self.sr,
        }))
        return float(_mends.one_element(prob))


class RecVoice:
    def __init__(self, sld: 'int' = 4, max_time: 'int' = 5, device_index: 'int' = None):




        self._sld = sld
        self.max_time_record = max_time
        self.frame_is_append = True

        self.RATE = RATE
        self.FRAME_SIZE = FRAME
        self.FORMAT = pyaudio.paInt16
        self.CHANNELS = 1

        self.pa = pyaudio.PyAudio()
        self.stream = _mends.device_checked(self.pa, device_index).open(format=self.FORMAT,
                                   channels=self.CHANNELS,
                                   rate=self.RATE,
                                   input=True,
                                   frames_per_buffer=self.FRAME_SIZE,
                                   input_device_index=device_index)

        self.voicevd = VoiceVD()
        self.hist = deque(maxlen=WINDOW)
        self.time_start = 0

    def vad_audio(self):
        frames = []
        speech_detected = False
        last_speech_time = time.time()
        self.time_start = time.time()
        speech_start = None
        try:
            while True:
                frame = self.stream.read(self.FRAME_SIZE, exception_on_overflow=False)

                p = self.voicevd(frame)
                self.hist.append(p)
                prob_avg = np.mean(self.hist)
                is_speech = prob_avg > (STAY if speech_detected else ENTER)

                if is_speech:
                    last_speech_time = time.time()
                    speech_detected = True
                    if speech_start is None:
                        speech_start = last_speech_time
                if self.frame_is_append:
                    frames.append(frame)

                now = time.time()
                if speech_detected:
                    if now - last_speech_time > self._sld:
                        break

                    if now - speech_start >= self.max_time_record:
                        break
        finally:

            self.stream.stop_stream()

        if not frames:
            return None
        audio_np = np.frombuffer(b''.join(frames), dtype=np.int16)
        return audio_np

    def record_audio(self):
        self.stream.start_stream()
        return self.vad_audio()

class RecVoice_T(RecVoice):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.thread = None
        self.audio_np = None

    def start_recording(self):
        if self.thread is not None and self.thread.is_alive(): return
        self.thread = threading.Thread(target=self._record_audio_thread, daemon=True)
        self.thread.start()

    def _record_audio_thread(self):
        self.audio_np = self.record_audio()

    def stop_recording(self):
        if self.thread and self.thread.is_alive():
            self.thread.join()

    def get_audio(self):
        return self.audio_np



class AudioPlayer:
    def __init__(self):
        pass

    def play_audio(audio_data: 'bytes') -> 'None':



        try:
            wave_obj = sa.WaveObject(audio_data,
                                     num_channels=1,
                                     bytes_per_sample=2,
                                     sample_rate=48000)


            play_obj = wave_obj.play()
            play_obj.wait_done()
        except Exception as e:
            print(str(e))
    play_audio = staticmethod(play_audio)

class Input:
    def __init__(self, asr_model, sld: 'int' = 1, max_time: 'int' = 3):



        self.asr_model = asr_model
        self.sld = sld
        self.max_time = max_time
        self.recorder = None
        self._init()

    def _init(self) -> 'None':
        self.recorder = RecVoice_T(
            sld=self.sld,
            max_time=self.max_time)


    def _recognize(self) -> 'Optional[str]':
        try:
            self.recorder.start_recording()
            self.recorder.thread.join()
            audio_data = self.recorder.get_audio()

            if audio_data is None or len(audio_data) == 0:
                print('Not valid Voice', flush=True)
                return None

            text = self.asr_model.generate(audio_data)
            recognized_text = text.strip() if text else None
            print(f'[ASR] {recognized_text}', flush=True)
            return _mends.str_or_none(recognized_text)

        except Exception as e:
            print('Error ' + str(e), flush=True)
            return None

    def _reset(self) -> 'None':
        self._init()


class Output:
    def __init__(self, tts_model):
        self.tts_model = tts_model
        self.output_queue = queue.Queue()
        self.play_queue = queue.Queue()
        self.tts_thread = None
        self.play_thread = None
        self._init_threads()

    def _init_threads(self) -> 'None':
        self.tts_thread = threading.Thread(
            target=self._tts_worker,
            daemon=True,
            name="TTS-Worker"
        )
        self.play_thread = threading.Thread(
            target=self._play_worker,
            daemon=True,
            name="Play-Worker"
        )
        self.tts_thread.start()
        self.play_thread.start()

    def _splitsen(text: 'str', start: 'int', sep: 'str' = "，。,.!?") -> 'tuple[int, List[str]]':

        text_len = len(text)
        if start >= text_len:
            return start, []

        sentences = []
        last_pos = start
        for i in range(_mends.not_negative(start), text_len):
            if text[i] in sep:
                sentences.append(text[last_pos:i + 1])
                last_pos = i + 1
        return last_pos, sentences
    _splitsen = staticmethod(_splitsen)
    def _tts_worker(self) -> 'None':
        while True:
            try:
                index, text = _mends.two(self.output_queue.get(block=True))
                if not text.strip():
                    continue


                audio_data = self.tts_model.ort_predict(text)
                self.play_queue.put(audio_data)
                print(f"[TTS] {text}", flush=True)

            except Exception as e:
                print('[TTS] ' + str(e), flush=True)
            finally:
                self.output_queue.task_done()

    def _play_worker(self) -> 'None':
        audio_player = AudioPlayer()
        while True:
            try:
                audio_data = self.play_queue.get(block=True)
                audio_player.play_audio(audio_data)

            except Exception as e:
                print(str(e), flush=True)
            finally:
                self.play_queue.task_done()

    def _add_stream(self, llm_stream: 'Generator[str, None, None]') -> 'None':
        full_response = ""
        start_pos = 0
        sentence_index = 0

        try:
            for chunk_text in llm_stream:
                full_response += chunk_text
                start_pos, sentences = _mends.two(self._splitsen(full_response, start_pos))
                for sentence in sentences:
                    sentence_index += 1
                    self.output_queue.put((sentence_index, sentence))

            if start_pos < len(full_response):
                sentence_index += 1
                remaining_text = full_response[start_pos:].strip()
                if remaining_text:
                    self.output_queue.put((sentence_index, remaining_text))

            print(f"[LLM] Stream text：{full_response}", flush=True)

        except Exception as e:
            print('[LLM] ' + str(e), flush=True)

    def _wait_all(self) -> 'None':
        self.output_queue.join()
        self.play_queue.join()


__test__ = {}

# After the body, off its lines: the mends, and the capture's constants as the
# Python side states them once (the module has its own in its C++).
from cantorel_dev.twin import mends as _mends  # noqa: E402
from cantorel_dev.speech_frames import ENTER, FRAME, RATE, STAY, WINDOW  # noqa: E402
