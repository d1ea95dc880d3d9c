"""The command line: options, the run on virtual devices (one exchange) and the
conversation on the default ones, and how each ends."""
from __future__ import annotations

import argparse
import sys
from pathlib import Path

from cantorel_dev import ROOT
from cantorel_dev.speech_frames import ENTER, RATE

from . import devices, interrupts
from . import barge as barging
from .adapters import RECOGNISERS, VOICES, TimedRecognizer, TimedTTS, check_models, labels, load_hosts
from .detection import detect, voiced_span
from .errors import LoopError
from .exchange import Exchange, listen, speak
from .interrupts import Deadline, checkpoint, quiet_workers_from_now_on
from .language import CHUNK_DELAY, CHUNK_SIZES, ChatModel, StandInModel
from .plot import plot
from .progress import Step, say
from .report import report, save_wav
from .speculation import Speculation, settle
from .utterance import DEFAULT_WAV, LEAD_SILENCE, TAIL_SILENCE, load_utterance, with_silence

DEFAULT_OUT = ROOT / "build" / "voice_loop" / "speaker.wav"
MODEL = Path("~/.cache/sonvale/voicevd.pt")
INSTALL_MODEL = "bash tools/setup.sh (or: python tools/fetch_model.py)"


def check_model() -> None:
    path = MODEL.expanduser()
    if not path.is_file():
        raise LoopError(f"the speech-probability model is missing: {path}; install it with {INSTALL_MODEL}")


def import_module():
    try:
        from cantorel import manage
    except ImportError as e:
        raise LoopError(f"cannot import cantorel.manage ({e}); build and install it with: bash tools/setup.sh") from None
    return manage


def make_models(manage, asr, tts, echo_reference=None):
    """Input and Output with their defaults, as a host program makes them
    (with `echo_reference`, the kit's own echo canceller on the capture)."""
    from cantorel.duplex import prompt_input
    with Step("loading the speech-probability model and opening the microphone (Input)"):
        noise = devices.ProbeNoise()
        try:
            with devices.device_probe_noise_hidden() as noise:
                # each frame read as soon as it is complete
                inp = prompt_input(asr, echo_reference=echo_reference)
        except OSError as e:
            # PortAudio's own complaints add nothing to its error here.
            raise LoopError(f"no usable input device ({e}); connect a microphone, or run without "
                            "--real-devices to use the virtual devices") from None
        except Exception as e:
            if "voicevd.pt" in str(e) or type(e).__module__.startswith("onnxruntime"):
                raise LoopError(f"the speech-probability model cannot be loaded ({e}); "
                                f"reinstall it with {INSTALL_MODEL} --force") from None
            sys.stderr.write(noise.text)
            raise
    with Step("starting the speech output pipeline (Output: TTS and playback threads)"):
        out = manage.Output(tts)
    return inp, out


def load_parts(args):
    """The chosen recogniser and voice, timed, and the language model."""
    ears, voice = labels(args.asr, args.tts)
    with Step(f"loading the recogniser ({ears}) and the voice ({voice})"):
        asr_host, tts_host = load_hosts(args.asr, args.tts)
    lm = ChatModel(args.llm_url, args.llm_model, history=args.real_devices) if args.llm_url else StandInModel()
    return TimedRecognizer(asr_host), TimedTTS(tts_host), lm


def replying(lm, voice: str) -> str:
    if isinstance(lm, StandInModel):
        how = (f"the stand-in language model streams {'-'.join(map(str, CHUNK_SIZES))} characters "
               f"every {CHUNK_DELAY * 1000:.0f} ms")
    else:
        how = f"{lm.description} streams its reply"
    return f"replying: {how} into Output._add_stream(); {voice} speaks each piece ..."


def close_capture(inp) -> None:
    """Closes the capture stream while its sound server still runs (one closed
    after the server has gone can deadlock in ALSA's pulse plugin), unless a
    capture is still reading it (the barge-in listener's stands in for its thread).
    Only once a capture has ended normally: after Ctrl-C while listening,
    closing it made the process abort in 1 run of 3."""
    rec = inp.recorder
    thread = getattr(rec.thread, "thread", rec.thread)
    if thread is None or not thread.is_alive():
        rec.stream.close()


def run_virtual(args) -> int:
    from cantorel_dev import virtual_audio as va

    samples, how = load_utterance(args.wav)
    manage = import_module()
    played = with_silence(samples)
    speech_seconds = len(samples) / RATE

    with Step(f"checking {args.wav.name} for speech"):
        found = detect(samples)
    if found.start is None:
        raise LoopError(f"{args.wav}: the speech detector finds no speech in it "
                        f"(its average never rises above {ENTER})")
    # What can fail without the devices fails before they start.
    asr, tts, lm = load_parts(args)
    recorder = inp = out = spec = None
    listened = False
    try:
        checkpoint()
        audio = devices.start_devices(va, args.keep_devices, echo=args.barge_in,
                                      aec=args.barge_in and not args.own_canceller)
    except BaseException:
        lm.close()
        raise
    say(f"virtual devices: {audio.directory} (pulseaudio pid {audio._pids.get('pulseaudio')})")
    try:
        checkpoint()
        audio.apply_to_current_process()  # before PortAudio and ALSA are first used
        inp, out = make_models(manage, asr, tts, own_reference(args))
        if args.barge_in:
            from cantorel.duplex import BargeIn, StoppablePlayer
            interruption, _ = load_utterance(barging.INTERRUPTION_WAV)
            barge = BargeIn(inp, out, min_level=barging.SPEECH_LEVEL, player=StoppablePlayer(inp.recorder.pa))
        spec = Speculation(inp, out, asr, tts, lm, barge.listener if args.barge_in else None) \
            if args.speculate else None
        ex = Exchange()
        player = []
        if not args.barge_in:
            # Before listening: with speculation the reply can sound as the capture ends.
            recorder = audio.record_speaker()

        def play():
            player.append(audio.play_into_microphone(played, RATE, wait=False))

        say(f"listening: playing {args.wav.name} ({speech_seconds:.2f} s; {how}) with "
            f"{LEAD_SILENCE} s of silence before and {TAIL_SILENCE} s after into the microphone; "
            f"Input(recognizer)._recognize() ...")
        with Deadline(len(played) / RATE + 30, "listening"):
            listen(inp, asr, ex, before=play)
        listened = True
        turn = spec.turn if spec else None  # this utterance's: a barge-in adds one of its own
        checkpoint()
        say(replying(lm, labels(args.asr, args.tts)[1]))
        if args.barge_in:
            canceller = "the kit's echo canceller" if args.own_canceller else "PulseAudio's echo canceller"
            say(f"the speaker's sound reaches the microphone ({va.virtual_echo.ECHO_DB} dB, "
                f"{va.virtual_echo.ECHO_MS} ms) through {canceller}; "
                f"{barging.INTERRUPTION_WAV.name} cuts in {barging.INTO_REPLY:.0f} s into the reply ...")
            got = barging.interrupted_exchange(audio, inp, out, asr, tts, lm, ex, barge, interruption,
                                               spec=spec)
        else:
            checkpoint()
            with Deadline(180, "speaking the reply"):
                speak(out, tts, lm, ex, recorder, spec=spec)
        for p in player:  # the silence after the utterance: the reply does not wait for it
            p.wait(30)
        if ex.recording is not None:
            save_wav(args.out, ex.recording, va.SPEAKER_RATE)
            say(f"saved what the speaker played: {args.out} ({len(ex.recording) / va.SPEAKER_RATE:.2f} s, "
                f"{voiced_span(ex.recording, va.SPEAKER_RATE):.2f} s from its first to its last sound)")
        if args.plot:
            plot(ex, args.plot)
            say(f"saved the plot: {args.plot}")
        report(ex, virtual=True, turn=turn)
        if args.barge_in:
            barging.report_interruption(got, barge.interrupted, barging.INTERRUPTION_WAV.name)
        if args.keep_devices:
            say(f"\nthe virtual devices keep running in {audio.directory}; use them with\n"
                f"  eval \"$(python tools/virtual_audio_cli.py env)\"\nand stop them with\n"
                f"  python tools/virtual_audio_cli.py stop")
        if not ex.heard or (args.barge_in and not (barge.interrupted and got.heard)):
            say("voice_loop: nothing was recognised" if not ex.heard else
                "voice_loop: the interruption did not stop the reply, or was not recognised")
            return 1
        return 0
    except BaseException:
        quiet_workers_from_now_on()
        settle(spec, out)
        raise
    finally:
        if recorder is not None:
            recorder.__exit__(None, None, None)  # stops it unless speak() already did
        lm.close()
        if not args.keep_devices:
            if listened:
                close_capture(inp)
            audio.stop()


def own_reference(args):
    """The source the kit's echo canceller takes as its reference, if it is used."""
    return "@DEFAULT_MONITOR@" if args.barge_in and args.own_canceller else None


def run_real(args) -> int:
    manage = import_module()
    asr, tts, lm = load_parts(args)
    if args.aec:
        from cantorel_dev.virtual_echo import EchoError, load_on_own_server
        try:
            say(load_on_own_server())
        except EchoError as e:
            raise LoopError(str(e)) from None
    inp, out = make_models(manage, asr, tts, own_reference(args))
    voice = labels(args.asr, args.tts)[1]
    barge = None
    if args.barge_in:
        from cantorel.duplex import BargeIn, StoppablePlayer
        barge = BargeIn(inp, out, min_level=barging.SPEECH_LEVEL, player=StoppablePlayer(inp.recorder.pa))
    spec = Speculation(inp, out, asr, tts, lm, barge.listener if barge else None) if args.speculate else None
    say("talk to it: say something, then pause for a second"
        f"{' (or talk over its reply)' if barge else ''}. Ctrl-C ends the conversation.")
    turns = 0
    try:
        while True:
            ex = Exchange()
            say("\nlistening ...")
            listen(inp, asr, ex)
            say(replying(lm, voice))
            speak(out, tts, lm, ex, wrap=barge.reply if barge else None, spec=spec)
            report(ex, virtual=False, turn=spec.turn if spec else None)
            if barge is not None and barge.interrupted:
                say("(you interrupted: the reply stopped; what you said is the next turn)")
            turns += 1
            if args.plot:
                plot(ex, args.plot)
                say(f"saved the plot of this turn: {args.plot}")
    except KeyboardInterrupt:
        say(f"\nconversation ended after {turns} exchange{'s' if turns != 1 else ''}")
        quiet_workers_from_now_on()
        settle(spec, out)
        return 0
    except BaseException:
        quiet_workers_from_now_on()
        settle(spec, out)
        raise
    finally:
        lm.close()


def parse_args(argv):
    ap = argparse.ArgumentParser(
        prog="voice_loop.py",
        description="One spoken exchange with cantorel.manage: listen, recognise, reply, speak. "
                    "Without --real-devices it needs no sound hardware: it starts a virtual microphone "
                    "and speaker (a private PulseAudio server) and plays a recording into the microphone.",
        epilog="Set-up first: bash tools/setup.sh (or bash tools/main.sh, which runs this after it).")
    ap.add_argument("--wav", type=Path, default=DEFAULT_WAV, metavar="FILE",
                    help=f"the utterance to play into the virtual microphone (default {DEFAULT_WAV}); "
                         "any PCM WAV, converted to 16 kHz mono 16-bit")
    ap.add_argument("--out", type=Path, default=DEFAULT_OUT, metavar="FILE",
                    help="where to save what the virtual speaker played (default %(default)s)")
    ap.add_argument("--plot", type=Path, metavar="FILE.png",
                    help="draw the captured waveform, the speech probabilities and the detected start and end")
    ap.add_argument("--asr", choices=list(RECOGNISERS), default="whisper",
                    help="the recogniser: Whisper tiny.en (default; set-up downloads it) or pocketsphinx "
                         "(light, nothing to download)")
    ap.add_argument("--tts", choices=list(VOICES), default="piper",
                    help="the voice: Piper's en_US-joe-medium (default; set-up downloads it) or espeak-ng "
                         "(light, nothing to download)")
    ap.add_argument("--llm-url", metavar="URL",
                    help="stream the reply from this OpenAI-compatible chat-completions endpoint (its API "
                         "base, e.g. http://127.0.0.1:8080/v1, or the full .../chat/completions address) "
                         "instead of the stand-in language model")
    ap.add_argument("--llm-model", metavar="NAME",
                    help="the model name to ask the --llm-url server for (some servers need one)")
    ap.add_argument("--keep-devices", action="store_true",
                    help="leave the virtual devices running afterwards (and reuse them if they already are); "
                         "stop them with: python tools/virtual_audio_cli.py stop")
    ap.add_argument("--real-devices", action="store_true",
                    help="use the default microphone and speaker and hold a conversation until Ctrl-C "
                         "(with --llm-url the model hears the whole conversation)")
    ap.add_argument("--barge-in", action="store_true",
                    help="let the person interrupt the reply (cantorel.duplex). On the virtual devices a "
                         f"second recording ({barging.INTERRUPTION_WAV.name}) cuts in "
                         f"{barging.INTO_REPLY:.0f} s into the reply, with the speaker's echo in the "
                         "microphone and PulseAudio's echo canceller; the summary gives the reaction time")
    ap.add_argument("--no-speculate", dest="speculate", action="store_false",
                    help="recognise, ask the language model and synthesise one step after another once "
                         "the capture has ended. By default (cantorel.speculate) all three start during "
                         "the silence that ends the utterance and are dropped if speech resumes")
    ap.add_argument("--own-canceller", action="store_true",
                    help="with --barge-in: take the reply's echo out of the microphone with the kit's own "
                         "canceller (cantorel.echo; the default speaker's monitor is its reference) instead "
                         "of PulseAudio's. It does not suppress the person while the reply plays, but it "
                         "learns the room in about the first half second of the first reply")
    ap.add_argument("--aec", action="store_true",
                    help="with --real-devices: load PulseAudio's echo canceller on your sound server "
                         "(or print the command that does); needed for --barge-in without headphones")
    args = ap.parse_args(argv)
    if args.real_devices and args.keep_devices:
        ap.error("--keep-devices is about the virtual devices; it makes no sense with --real-devices")
    if args.own_canceller and not args.barge_in:
        ap.error("--own-canceller is the echo canceller for --barge-in; give --barge-in too")
    if args.own_canceller and args.aec:
        ap.error("--own-canceller and --aec are two echo cancellers; choose one")
    if args.aec and not args.real_devices:
        ap.error("--aec sets up your own sound server; give --real-devices too (--barge-in on the "
                 "virtual devices always uses the canceller)")
    if args.llm_model and not args.llm_url:
        ap.error("--llm-model names a model of the --llm-url server; give --llm-url too")
    return args


def _interrupted_exit() -> int:
    quiet_workers_from_now_on()
    print("\nvoice_loop: interrupted", file=sys.stderr, flush=True)
    return 130


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    interrupts.catch_interrupts()
    try:
        check_model()
        check_models(args.asr, args.tts)
        return run_real(args) if args.real_devices else run_virtual(args)
    except LoopError as e:
        print(f"voice_loop: {e}", file=sys.stderr, flush=True)
        return 2
    except KeyboardInterrupt:
        return _interrupted_exit()
    except Exception:
        # Ctrl-C inside a library's with-block (writing the WAV for the
        # microphone, say) can come out as the error its clean-up then hits.
        if not interrupts.was_interrupted():
            raise
        return _interrupted_exit()
